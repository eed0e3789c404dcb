// muxctl driven as an administrator drives it: whole runs of the program,
// their output and exit status, and what they leave in the service manager
// and the registry. Natively against the stand-in, under Wine against Wine's
// real service control manager and registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "muxctl_env.h"
#include "process.h"
#include "report.h"
#include "service.h"

namespace {

const std::string kDefault = "Instant Messaging Multiplexor";
const std::string kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\kormux";

std::string usage_for(const std::string &program)
{
    std::string u = "Usage:\n";
    const char *commands[][2] = {{"/help", "Display help"},
                                 {"/query", "Query information about the service"},
                                 {"/remove", "Remove the service"},
                                 {"/start", "Start the service"},
                                 {"/restart", "Restart the service"},
                                 {"/stop", "Stop the service"},
                                 {"/install", "Configures the service"}};
    for (auto &c : commands) {
        std::string keyword = c[0];
        u += "  " + program + " " + keyword + std::string(13 - keyword.size(), ' ') + c[1] + "\n";
    }
    u += "          [/display <service display name>]\n";
    u += "                       Default is \"Orvanta Instant Messaging Multiplexor\"\n";
    u += "          [/manual]    manual startup\n";
    u += "          [/auto]      automatic startup (default)\n";
    u += "\t\t  [/config]\t   configuration file (default ../config/kor.conf)";
    u += "\n";
    return u;
}

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// A failure report: the prefix, ": ", then a system text of its own (never
// compared: Wine's wording is not Windows').
::testing::AssertionResult is_report(const std::string &output, const std::string &prefix)
{
    if (!starts_with(output, prefix + ": "))
        return ::testing::AssertionFailure() << "no report \"" << prefix << ": \" in [" << output << "]";
    if (output.size() <= prefix.size() + 2)
        return ::testing::AssertionFailure() << "no system text after the prefix in [" << output << "]";
    return ::testing::AssertionSuccess();
}

class MuxctlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        muxtest::begin_private_state();
        program_ = muxtest::muxctl_program();
        clear();
    }

    void TearDown() override
    {
        clear();
        muxtest::end_private_state();
    }

    // No service and no key of it, whatever an earlier run left. A service
    // removed while it still stops goes only once its program has ended.
    void clear()
    {
        run({"/stop"});
        run({"/remove"});
        for (int i = 0; i < 100 && installed(); ++i)
            run({"/remove"});
        muxctl::delete_service_key("kormux");
    }

    // One run of muxctl; Windows' text-mode line ends read back as "\n".
    vextest::ProcessResult run(const std::vector<std::string> &args) { return run_program(program_, args); }

    static vextest::ProcessResult run_program(const std::string &program, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        vextest::ProcessResult r = vextest::run_process(argv);
        std::string text;
        for (size_t i = 0; i < r.output.size(); ++i) {
            if (r.output[i] == '\r' && i + 1 < r.output.size() && r.output[i + 1] == '\n')
                continue;
            text += r.output[i];
        }
        r.output = text;
        return r;
    }

    std::string binary_location() const { return muxtest::windows_directory_of(program_) + "\\multiplexor.exe"; }

    std::string report(const std::string &first_line, const std::string &display, const std::string &start_type,
                       const std::string &config = "", const std::string &description = "") const
    {
        std::string r = first_line + " service is installed.\n";
        r += "Display name       : " + display + "\n";
        r += "Start Type         : " + start_type + "\n";
        r += "Binary location    : " + binary_location() + "\n";
        if (!config.empty())
            r += "Configuration File : " + config + "\n";
        if (!description.empty())
            r += "Description        : " + description + "\n";
        return r;
    }

    bool installed() { return run({"/query"}).output != kDefault + " service is not installed.\n"; }

    std::string program_;
};

// Arguments that decide before or instead of any service operation.
struct CommandLineCase {
    std::vector<std::string> args;
    enum { exact, usage, start_failure } expect;
    std::string output;
    int exit_code;
    bool installed_after;
};

TEST_F(MuxctlTest, CommandLineOrderRules)
{
    const CommandLineCase cases[] = {
        {{}, CommandLineCase::exact, "", 0, false},
        {{"/bogus", "extra"}, CommandLineCase::exact, "", 0, false},
        {{"/INSTALL"}, CommandLineCase::exact, "", 0, false},
        {{"/Install"}, CommandLineCase::exact, "", 0, false},
        {{"Install"}, CommandLineCase::exact, "", 0, false},
        {{"/QUERY"}, CommandLineCase::exact, "", 0, false},
        {{"-description"}, CommandLineCase::exact, "", 0, false},
        {{"/config", "/install"}, CommandLineCase::exact, "", 0, false},
        {{"/display", "/install", "/config"}, CommandLineCase::exact, "", 0, false},
        {{"/install", "/H"}, CommandLineCase::usage, "", 1, false},
        {{"/manual", "-?"}, CommandLineCase::usage, "", 1, false},
        {{"help", "/install"}, CommandLineCase::usage, "", 1, false},
        {{"/install", "/start"}, CommandLineCase::start_failure, "", 1, false},
        {{"/start", "/install"}, CommandLineCase::start_failure, "", 1, false},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args)
            shown += a + " ";
        SCOPED_TRACE("muxctl " + shown);
        auto r = run(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        switch (c.expect) {
        case CommandLineCase::exact: EXPECT_EQ(r.output, c.output); break;
        case CommandLineCase::usage: EXPECT_EQ(r.output, usage_for(program_)); break;
        case CommandLineCase::start_failure:
            EXPECT_TRUE(is_report(r.output, "Failed to start " + kDefault + " service"));
            break;
        }
        EXPECT_EQ(installed(), c.installed_after);
    }
}

TEST_F(MuxctlTest, EveryHelpFormPrintsTheUsageWithTheProgramNameAsTyped)
{
    for (const char *form : {"-help", "/help", "help", "/h", "-h", "/H", "-H", "/?", "-?"}) {
        SCOPED_TRACE(form);
        auto r = run({form});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.output, usage_for(program_));
    }
}

struct InstallCase {
    std::vector<std::string> args;
    std::string display;
    std::string start_type;
    std::string config;
    std::string description;
};

TEST_F(MuxctlTest, InstallThenQueryReportsWhatWasInstalled)
{
    const InstallCase cases[] = {
        {{"/install"}, kDefault, "Automatic", "", ""},
        {{"install", "/display"}, kDefault, "Automatic", "", ""},
        {{"/install", "/manual"}, kDefault, "Manual", "", ""},
        {{"-install", "/manual", "/auto"}, kDefault, "Automatic", "", ""},
        {{"/auto", "-manual", "/install"}, kDefault, "Manual", "", ""},
        {{"/install", "/display", "Kor Mux", "/display", "Second Name"}, "Second Name", "Automatic", "", ""},
        {{"/install", "/config", "C:\\kor\\config\\kor.conf"}, kDefault, "Automatic", "C:\\kor\\config\\kor.conf", ""},
        {{"/install", "-description", "Routes messages"}, kDefault, "Automatic", "", "Routes messages"},
        {{"/description", "-starts-with-a-dash", "/config", "/install", "/install", "/display", "Kor Mux",
          "/manual"},
         "Kor Mux", "Manual", "/install", "-starts-with-a-dash"},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args)
            shown += a + " ";
        SCOPED_TRACE("muxctl " + shown);
        auto installed_run = run(c.args);
        EXPECT_EQ(installed_run.exit_code, 0);
        EXPECT_EQ(installed_run.output, "Installation of " + c.display + " service successful.\n");
        auto q = run({"/query"});
        EXPECT_EQ(q.output, report(c.display, c.display, c.start_type, c.config, c.description));
        EXPECT_EQ(q.exit_code, 0);
        auto removed = run({"/remove"});
        EXPECT_EQ(removed.output, kDefault + " service successfully removed.\n");
    }
}

TEST_F(MuxctlTest, LongValuesAreCutToTheirLimitsAndReadBackWhole)
{
    std::string display(300, 'd');
    std::string config(1000, 'c');
    std::string description(1500, 'x');
    auto r = run({"/install", "/display", display, "/config", config, "/description", description});
    std::string cut_display = display.substr(0, 255);
    EXPECT_EQ(r.output, "Installation of " + cut_display + " service successful.\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(run({"/query"}).output,
              report(cut_display, cut_display, "Automatic", config, description.substr(0, 1023)));
}

TEST_F(MuxctlTest, QueryFallsBackToTheDefaultNameWhenTheRegistryHasNone)
{
    ASSERT_EQ(run({"/install", "/display", "Own Name"}).exit_code, 0);
    ASSERT_EQ(muxctl::set_registry_string("", "DisplayName", kServiceKey.c_str()), 0);
    EXPECT_EQ(run({"/query"}).output, report(kDefault, "Own Name", "Automatic"));
}

TEST_F(MuxctlTest, OwnDisplayNameStaysOutOfTheControlMessages)
{
    ASSERT_EQ(run({"/install", "/display", "Own Name"}).exit_code, 0);
    EXPECT_TRUE(is_report(run({"/stop"}).output, "Failed to stop " + kDefault + " service"));
    EXPECT_EQ(run({"/remove"}).output, kDefault + " service successfully removed.\n");
}

TEST_F(MuxctlTest, QueryAndRemoveOfAMissingService)
{
    auto q = run({"-q"});
    EXPECT_EQ(q.output, kDefault + " service is not installed.\n");
    EXPECT_EQ(q.exit_code, 1);

    // A key left behind by someone else stays: nothing was removed.
    ASSERT_EQ(muxctl::set_registry_string("kept", "Description", kServiceKey.c_str()), 0);
    auto r = run({"remove"});
    EXPECT_TRUE(is_report(r.output, "Failed to remove " + kDefault + " service"));
    EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << "one line only";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(muxtest::registry_key_exists(kServiceKey));
}

TEST_F(MuxctlTest, RemoveTakesTheServiceAndItsKeysAway)
{
    ASSERT_EQ(run({"/install", "/config", "a.conf", "/description", "d"}).exit_code, 0);
    ASSERT_TRUE(muxtest::registry_key_exists(kServiceKey + "\\Parameters"));
    auto r = run({"-remove"});
    EXPECT_EQ(r.output, kDefault + " service successfully removed.\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(muxtest::registry_key_exists(kServiceKey));
    EXPECT_FALSE(installed());
}

TEST_F(MuxctlTest, InstallOverAnExistingServiceFailsAndWritesNoValue)
{
    ASSERT_EQ(run({"/install"}).exit_code, 0);
    auto r = run({"/install", "/display", "Other", "/config", "new.conf", "/description", "new"});
    EXPECT_TRUE(is_report(r.output, "Failed to install Other service"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(muxtest::registry_key_exists(kServiceKey + "\\Parameters"));
    EXPECT_EQ(run({"/query"}).output, report(kDefault, kDefault, "Automatic"));
}

TEST_F(MuxctlTest, ControlOfAServiceWhoseProgramIsMissing)
{
    ASSERT_EQ(run({"/install"}).exit_code, 0);
    struct {
        const char *command;
        std::vector<std::string> prefixes;
    } cases[] = {
        {"/start", {"Failed to start " + kDefault + " service"}},
        {"/stop", {"Failed to stop " + kDefault + " service"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        auto r = run({c.command});
        EXPECT_TRUE(is_report(r.output, c.prefixes[0]));
        EXPECT_EQ(r.exit_code, 1);
    }
    // Restart: the stop fails, then the start fails, each with its report.
    auto r = run({"restart"});
    auto split = r.output.find("Failed to start ");
    ASSERT_NE(split, std::string::npos) << r.output;
    EXPECT_TRUE(is_report(r.output.substr(0, split), "Failed to stop " + kDefault + " service"));
    EXPECT_TRUE(is_report(r.output.substr(split), "Failed to start " + kDefault + " service"));
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(MuxctlTest, StartStopAndRestartARealService)
{
    std::string copy = muxtest::muxctl_copy(true);
    ASSERT_EQ(run_program(copy, {"/install", "/manual"}).exit_code, 0);
    auto started = run_program(copy, {"/start"});
    EXPECT_EQ(started.output, kDefault + " service successfully started.\n");
    EXPECT_EQ(started.exit_code, 0);
    ASSERT_TRUE(muxtest::wait_until_service_runs(copy));

    auto again = run_program(copy, {"/start"});
    EXPECT_TRUE(is_report(again.output, "Failed to start " + kDefault + " service"));

    // Restart does not wait for the stop to finish, so its start may find the
    // service still stopping; the stop itself must succeed.
    auto restarted = run_program(copy, {"/restart"});
    EXPECT_TRUE(starts_with(restarted.output, kDefault + " service successfully stopped.\n")) << restarted.output;
    std::string rest = restarted.output.substr(restarted.output.find('\n') + 1);
    EXPECT_TRUE(rest == kDefault + " service successfully started.\n" ||
                is_report(rest, "Failed to start " + kDefault + " service"))
        << rest;

    if (rest == kDefault + " service successfully started.\n") {
        ASSERT_TRUE(muxtest::wait_until_service_runs(copy));
        auto stopped = run_program(copy, {"stop"});
        EXPECT_EQ(stopped.output, kDefault + " service successfully stopped.\n");
        EXPECT_EQ(stopped.exit_code, 0);
    }
    run_program(copy, {"/stop"});
    EXPECT_EQ(run_program(copy, {"/remove"}).exit_code, 0);
}

TEST_F(MuxctlTest, FailedRegistryWritesAreReportedAndDoNotStopTheOther)
{
    if (!muxtest::fail_registry_writes(5))
        GTEST_SKIP() << "no way to make registry writes fail here";
    auto r = run({"/install", "/config", "k.conf", "/description", "words"});
    std::string installed_line = "Installation of " + kDefault + " service successful.\n";
    ASSERT_TRUE(starts_with(r.output, installed_line)) << r.output;
    std::string rest = r.output.substr(installed_line.size());
    auto split = rest.find("Could not set Description");
    ASSERT_NE(split, std::string::npos) << rest;
    EXPECT_TRUE(is_report(rest.substr(0, split), "Could not set ConfigFile to k.conf in registry\n"));
    EXPECT_TRUE(is_report(rest.substr(split), "Could not set Description to words in registry\n"));
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(MuxctlTest, RegistryReadsLeaveTheDestinationAloneOnFailure)
{
    ASSERT_EQ(muxctl::set_registry_string(std::string(300, 'v').c_str(), "Probe", kServiceKey.c_str()), 0);
    ASSERT_EQ(muxctl::set_registry_string("short", "Fits", kServiceKey.c_str()), 0);
    struct {
        const char *value;
        long rc;
        const char *text;
        uint32_t size;
    } cases[] = {
        {"Probe", 234, "held", 256},    // too long for the storage
        {"Missing", 2, "held", 256},    // no such value
        {"Fits", 0, "short", 6},        // length out counts the terminator
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        char storage[256] = "held";
        uint32_t size = sizeof storage;
        EXPECT_EQ(muxctl::get_registry_value(storage, &size, c.value, kServiceKey.c_str()), c.rc);
        EXPECT_STREQ(storage, c.text);
        if (c.rc == 0) {
            EXPECT_EQ(size, c.size);
        }
    }
    char storage[16] = "held";
    uint32_t size = sizeof storage;
    EXPECT_NE(muxctl::get_registry_value(storage, &size, "Fits", (kServiceKey + "\\Nowhere").c_str()), 0);
    EXPECT_STREQ(storage, "held");
}

TEST(MuxctlReportTest, UnknownCodesAreShownInLowerCaseHex)
{
    char text[1024];
    muxctl::format_system_error(text, sizeof text, 0xDEADBEEFu);
    EXPECT_STREQ(text, "Unknown error code: deadbeef");
    char small[10];
    muxctl::format_system_error(small, sizeof small, 0xDEADBEEFu);
    EXPECT_STREQ(small, "Unknown e");
    muxctl::format_system_error(text, sizeof text, 1060);
    EXPECT_GT(std::string(text).size(), 0u);
    EXPECT_FALSE(starts_with(text, "Unknown error code"));
}

TEST(MuxctlReportTest, StartTypeNames)
{
    const char *names[] = {"SERVICE_BOOT_START", "SERVICE_SYSTEM_START", "Automatic", "Manual", "Disabled",
                           "Unknown start type"};
    for (unsigned t = 0; t < 6; ++t)
        EXPECT_STREQ(muxctl::start_type_name(t), names[t]);
    EXPECT_STREQ(muxctl::start_type_name(0xFFFFFFFFu), "Unknown start type");
}

}  // namespace
