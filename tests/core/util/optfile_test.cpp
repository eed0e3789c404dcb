#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "util/optfile_impl.h"
#include "vexcore/optfile.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace fs = std::filesystem;

namespace {

struct CapturedLog {
    logcx base{&CapturedLog::record};
    std::vector<std::pair<int, std::string>> lines;

    static void record(logcx *cx, int level, const char *format, va_list args)
    {
        char text[2048];
        std::vsnprintf(text, sizeof text, format, args);
        reinterpret_cast<CapturedLog *>(cx)->lines.emplace_back(level, text);
    }
};

// A temporary folder of its own per test, removed afterwards.
class OptfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("vex_optfile_" + std::to_string(::getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string write(const std::string &name, const std::string &content)
    {
        std::ofstream out(dir_ / name, std::ios::binary);
        out << content;
        return dir_.string();
    }
    std::string dir() const { return dir_.string(); }
    std::string path_of(const std::string &name) const { return dir_.string() + "/" + name; }

    fs::path dir_;
};

using Options = std::vector<std::pair<std::string, std::string>>;

struct SyntaxCase {
    const char *what;
    std::string text;
    int flags;
    const char *comments;
    const char *delims;
    Options present;
    std::vector<std::string> absent;
};

const SyntaxCase kSyntaxCases[] = {
    {"empty file", "", 0, nullptr, nullptr, {}, {"a"}},
    {"both default delimiters", "a=1\nb:2\n", 0, nullptr, nullptr, {{"a", "1"}, {"b", "2"}}, {}},
    {"CR LF, CR and LF line ends", "a=1\r\nb=2\rc=3\n\n\r\n", 0, nullptr, nullptr,
     {{"a", "1"}, {"b", "2"}, {"c", "3"}}, {}},
    {"default comments in the first column only", "#c=1\n!d=2\n;e=3\nk=#v\n", 0, nullptr, nullptr,
     {{"k", "#v"}}, {"#c", "c", "!d", "d", ";e", "e"}},
    {"own comment set", "[section]\n<tag x=1>\nk=v\n#x=1\n", 0, "[<", "=", {{"k", "v"}, {"#x", "1"}},
     {"[section]", "<tag x"}},
    {"first delimiter ends the name", "host:port=1\n", 0, nullptr, nullptr, {{"host", "port=1"}}, {"host:port"}},
    {"own delimiter set", "host:port=1\n", 0, nullptr, "=", {{"host:port", "1"}}, {"host"}},
    {"spaces kept without trimming", "name = value\n", 0, nullptr, nullptr, {{"name ", " value"}}, {"name"}},
    {"trimming", "name  =  \t value \nx\t= y\n", OPTFILE_TRIM, nullptr, nullptr,
     {{"name", "value "}, {"x\t", "y"}}, {"name "}},
    {"name and delimiter only", "a=\nb:\r\nc=", 0, nullptr, nullptr, {{"a", ""}, {"b", ""}, {"c", ""}}, {}},
    {"continuation keeps the next line's blanks", "a=one\\\n  two\nb=3\n", 0, nullptr, nullptr,
     {{"a", "one  two"}, {"b", "3"}}, {}},
    {"continuation over CR LF and CR", "a=x\\\r\ny\\\rz\r\nb=1", 0, nullptr, nullptr, {{"a", "xyz"}, {"b", "1"}},
     {}},
    {"backslash not before a line end", "a=x\\y\nb=z\\", 0, nullptr, nullptr, {{"a", "x\\y"}, {"b", "z\\"}}, {}},
    {"no continuation", "a=x\\\ny=2\n", OPTFILE_NO_CONTINUATION, nullptr, nullptr, {{"a", "x\\"}, {"y", "2"}}, {}},
    {"first duplicate wins", "a=1\nA=2\n", OPTFILE_ALLOW_DUPLICATES, nullptr, nullptr, {{"a", "1"}}, {}},
    {"skipped duplicate takes its continuation along", "a=1\na=2\\\nb=3\nc=4\n", OPTFILE_ALLOW_DUPLICATES,
     nullptr, nullptr, {{"a", "1"}, {"c", "4"}}, {"b"}},
    {"names compare without case", "MixedCase=v\n", 0, nullptr, nullptr, {{"mixedcase", "v"}, {"MIXEDCASE", "v"}},
     {}},
    {"value holding delimiters and high bytes", "k=a=b:c\xC4\xFF\n", 0, nullptr, nullptr, {{"k", "a=b:c\xC4\xFF"}},
     {}},
};

}  // namespace

TEST_F(OptfileTest, SyntaxRules)
{
    for (const SyntaxCase &c : kSyntaxCases) {
        SCOPED_TRACE(c.what);
        write("opts", c.text);
        CapturedLog log;
        optfile *of = optfile_read(dir().c_str(), "opts", &log.base, c.comments, c.delims, c.flags, nullptr,
                                   nullptr);
        ASSERT_NE(of, nullptr);
        EXPECT_TRUE(log.lines.empty());
        for (const auto &[name, value] : c.present) {
            SCOPED_TRACE(name);
            EXPECT_STREQ(optfile_get(of, name.c_str(), "(none)"), value.c_str());
            char buf[64];
            size_t len = 99;
            EXPECT_EQ(optfile_copy(of, buf, sizeof buf, &len, name.c_str(), "(none)"), 0);
            EXPECT_EQ(std::string(buf, len), value);
        }
        for (const std::string &name : c.absent)
            EXPECT_STREQ(optfile_get(of, name.c_str(), "(none)"), "(none)") << name;
        optfile_dispose(of);
    }
}

namespace {

struct ErrorCase {
    const char *what;
    std::string text;
    int flags;
    const char *message;  // %s is the path
};

const ErrorCase kErrorCases[] = {
    {"empty name", "a=1\n=v\n", 0, "Empty option name, option file '%s' line 2\n"},
    {"blank line without trimming", "a=1\n\n   \n", 0,
     "Missing delimiter between option name and value, option file '%s' line 3\n"},
    {"blank line with trimming", "a=1\n\n   \n", OPTFILE_TRIM, "Empty option name, option file '%s' line 3\n"},
    {"name without delimiter", "a=1\r\nb\r\n", 0,
     "Missing delimiter between option name and value, option file '%s' line 2\n"},
    {"name at the end of the text", "a=1\rb", 0,
     "Missing delimiter between option name and value, option file '%s' line 2\n"},
    {"duplicate in another case", "a=1\nA=2\n", 0, "Duplicate option 'A' in file '%s' lines 1 and 2\n"},
    {"lines counted across continuations", "a=x\\\ny\\\r\nz\nbad\n", 0,
     "Missing delimiter between option name and value, option file '%s' line 4\n"},
    {"duplicate after a continuation", "a=1\\\n2\nb=2\r\ra=3", 0,
     "Duplicate option 'a' in file '%s' lines 1 and 5\n"},
    {"comment lines are counted", "# one\n; two\nx\n", 0,
     "Missing delimiter between option name and value, option file '%s' line 3\n"},
};

}  // namespace

TEST_F(OptfileTest, SyntaxErrorsFailTheWholeFileWithOneMessage)
{
    for (const ErrorCase &c : kErrorCases) {
        SCOPED_TRACE(c.what);
        write("bad", c.text);
        CapturedLog log;
        EXPECT_EQ(optfile_read(dir().c_str(), "bad", &log.base, nullptr, nullptr, c.flags, nullptr, nullptr),
                  nullptr);
        char expect[2048];
        std::snprintf(expect, sizeof expect, c.message, path_of("bad").c_str());
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].first, LOGCX_ERR);
        EXPECT_EQ(log.lines[0].second, expect);
    }
}

TEST_F(OptfileTest, WithoutALogMessagesGoToStandardError)
{
    write("bad", "novalue\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(optfile_read(dir().c_str(), "bad", nullptr, nullptr, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Missing delimiter between option name and value, option file '" + path_of("bad") + "' line 1\n");
}

TEST_F(OptfileTest, FilesThatCannotBeOpenedGiveNullSilently)
{
    CapturedLog log;
    EXPECT_EQ(optfile_read(dir().c_str(), "missing", &log.base, nullptr, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(optfile_read("", "", &log.base, nullptr, nullptr, 0, nullptr, nullptr), nullptr);
    // A path too long for the buffer must not open the file its first 1023
    // characters happen to name.
    write("x", "a=1\n");
    std::string longdir = dir();
    while (longdir.size() < 1030)
        longdir += "/.";
    EXPECT_EQ(optfile_read(longdir.c_str(), "x", &log.base, nullptr, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(OptfileTest, EmptyDirectoryMeansTheNameIsThePath)
{
    write("whole", "k=v\n");
    const std::string path = path_of("whole");
    for (const char *d : {"", static_cast<const char *>(nullptr)}) {
        optfile *of = optfile_read(d, path.c_str(), nullptr, nullptr, nullptr, 0, nullptr, nullptr);
        ASSERT_NE(of, nullptr);
        EXPECT_STREQ(optfile_get(of, "k", nullptr), "v");
        optfile_dispose(of);
    }
}

namespace {

struct CheckSeen {
    int calls = 0;
    logcx *log = nullptr;
    long long size = -1;
    bool fd_open = false;
    int answer = 0;
    std::string sabotage_with;  // a write-only file put in place of the descriptor
};

int check_hook(void *arg, logcx *log, int fd, const struct stat *st)
{
    auto *seen = static_cast<CheckSeen *>(arg);
    ++seen->calls;
    seen->log = log;
    seen->size = static_cast<long long>(st->st_size);
    struct stat again;
    seen->fd_open = ::fstat(fd, &again) == 0;
    if (!seen->sabotage_with.empty()) {
        int wr = ::open(seen->sabotage_with.c_str(), O_WRONLY | O_CREAT | O_BINARY, 0600);
        if (wr >= 0) {
            ::dup2(wr, fd);
            ::close(wr);
        }
    }
    return seen->answer;
}

}  // namespace

TEST_F(OptfileTest, CheckHookSeesTheOpenFileAndCanRefuseIt)
{
    write("opts", "a=1\n");
    CapturedLog log;
    CheckSeen seen;
    optfile *of = optfile_read(dir().c_str(), "opts", &log.base, nullptr, nullptr, 0, check_hook, &seen);
    ASSERT_NE(of, nullptr);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.log, &log.base);
    EXPECT_EQ(seen.size, 4);
    EXPECT_TRUE(seen.fd_open);
    optfile_dispose(of);

    seen.answer = 1;
    EXPECT_EQ(optfile_read(dir().c_str(), "opts", &log.base, nullptr, nullptr, 0, check_hook, &seen), nullptr);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(OptfileTest, ReadErrorIsLoggedWithItsErrorNumber)
{
    write("opts", "a=1\n");
    CapturedLog log;
    CheckSeen seen;
    seen.sabotage_with = path_of("writeonly");
    EXPECT_EQ(optfile_read(dir().c_str(), "opts", &log.base, nullptr, nullptr, 0, check_hook, &seen), nullptr);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, LOGCX_ERR);
    const std::string &line = log.lines[0].second;
    const std::string prefix = "Error reading option file '" + path_of("opts") + "': ";
    const std::string suffix = " (" + std::to_string(EBADF) + ")\n";
    EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
    ASSERT_GE(line.size(), prefix.size() + suffix.size()) << line;
    EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix) << line;
}

TEST_F(OptfileTest, ManyNamesShareBucketsAndAllAreFound)
{
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += "Option" + std::to_string(i) + "=value" + std::to_string(i) + "\n";
    write("many", text);
    optfile *of = optfile_read(dir().c_str(), "many", nullptr, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(of, nullptr);
    for (int i = 0; i < 500; ++i) {
        const std::string name = "OPTION" + std::to_string(i);
        const char *v = optfile_get(of, name.c_str(), nullptr);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(std::string(v), "value" + std::to_string(i));
    }
    optfile_dispose(of);
}

TEST(OptfileBucket, HashFoldsCaseAndTreatsHighBytesAsSigned)
{
    // h = h * 7 + 5 * lower(c), wrapping at 32 bits, modulo 61.
    EXPECT_EQ(optfile_bucket_of(""), 0u);
    EXPECT_EQ(optfile_bucket_of("a"), 485u % 61);
    EXPECT_EQ(optfile_bucket_of("Ab"), (97u * 5 * 7 + 98u * 5) % 61);
    EXPECT_EQ(optfile_bucket_of("ab"), optfile_bucket_of("AB"));
    EXPECT_EQ(optfile_bucket_of("\xFF"), static_cast<uint32_t>(-5) % 61);
    // Long enough to wrap.
    uint32_t h = 0;
    for (int i = 0; i < 40; ++i)
        h = h * 7 + 5 * 'z';
    EXPECT_EQ(optfile_bucket_of(std::string(40, 'Z').c_str()), h % 61);
}

namespace {

struct AccessorFixture {
    const char *value;
    int32_t as_int;  // with default 77
    int as_bool;     // with default 5
};

const AccessorFixture kAccessorCases[] = {
    {"42", 42, -1},     {" -12abc", -12, -1}, {"+5", 77, -1},          {"x", 77, -1},
    {"-", 77, -1},      {"- 1", 77, -1},      {"\t\v\f 7", 7, -1},     {"2147483647", 2147483647, -1},
    {"2147483648", 2147483647, -1},           {"-2147483648", INT32_MIN, -1},
    {"-99999999999999999999", INT32_MIN, -1}, {"99999999999999999999", INT32_MAX, -1},
    {"yes", 77, 1},     {"True", 77, 1},      {"1", 1, 1},             {" on", 77, 1},
    {"  ON", 77, 1},    {"no", 77, 0},        {"off", 77, 0},          {"0", 0, 0},
    {"OFF", 77, 0},     {"onion", 77, 5},     {"", 77, 5},             {"on ", 77, 5},
    {"F", 77, 0},       {"Nope", 77, 0},      {"10", 10, 1},
};

}  // namespace

TEST_F(OptfileTest, NumbersAndTruthValues)
{
    std::string text;
    for (size_t i = 0; i < std::size(kAccessorCases); ++i)
        text += "k" + std::to_string(i) + "=" + kAccessorCases[i].value + "\n";
    write("acc", text);
    optfile *of = optfile_read(dir().c_str(), "acc", nullptr, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(of, nullptr);
    for (size_t i = 0; i < std::size(kAccessorCases); ++i) {
        const AccessorFixture &c = kAccessorCases[i];
        const std::string name = "k" + std::to_string(i);
        SCOPED_TRACE(std::string("'") + c.value + "'");
        EXPECT_EQ(optfile_int(of, name.c_str(), 77), c.as_int);
        if (c.as_bool >= 0) {
            EXPECT_EQ(optfile_bool(of, name.c_str(), 5), c.as_bool == 5 ? 1 : c.as_bool);
        }
    }
    EXPECT_EQ(optfile_int(of, "absent", 77), 77);
    EXPECT_EQ(optfile_bool(of, "absent", 0), 0);
    EXPECT_EQ(optfile_bool(of, "absent", 9), 1);
    optfile_dispose(of);
}

TEST_F(OptfileTest, CopyCutsAndReportsTheCount)
{
    write("c", "v=abcdef\nempty=\n");
    optfile *of = optfile_read(dir().c_str(), "c", nullptr, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(of, nullptr);
    const struct {
        const char *name;
        const char *def;
        size_t size;
        int result;
        const char *text;
    } cases[] = {
        {"v", "d", 4, -1, "abc"},      {"v", "d", 6, -1, "abcde"},   {"v", "d", 7, 0, "abcdef"},
        {"v", "d", 1, -1, ""},         {"empty", "d", 1, 0, ""},     {"absent", "default", 8, 0, "default"},
        {"absent", "default", 3, -1, "de"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.size));
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        size_t len = 99;
        EXPECT_EQ(optfile_copy(of, buf, c.size, &len, c.name, c.def), c.result);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(len, std::strlen(c.text));
        EXPECT_EQ(buf[c.size], '#');
    }
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(optfile_copy(of, buf, 0, nullptr, "v", "d"), -1);
    EXPECT_EQ(buf[0], '#');
    optfile_dispose(of);
}

TEST(OptfileNullHandle, ReadsAsAnEmptyFile)
{
    EXPECT_STREQ(optfile_get(nullptr, "a", "def"), "def");
    EXPECT_EQ(optfile_get(nullptr, "a", nullptr), nullptr);
    EXPECT_EQ(optfile_int(nullptr, "a", -3), -3);
    EXPECT_EQ(optfile_bool(nullptr, "a", 2), 1);
    char buf[8];
    size_t len = 0;
    EXPECT_EQ(optfile_copy(nullptr, buf, sizeof buf, &len, "a", "dflt"), 0);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(len, 4u);
    optfile_dispose(nullptr);
}

TEST_F(OptfileTest, DisposingADeadHandleStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    write("d", "a=1\n");
    optfile *of = optfile_read(dir().c_str(), "d", nullptr, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(of, nullptr);
    of->valid = 0;
    EXPECT_DEATH(optfile_dispose(of), "Assertion failed: optf->valid != 0, file optfile, line 81");
    of->valid = 1;
    optfile_dispose(of);
}
