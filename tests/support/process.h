// Runs a program to its end and captures what it writes to standard output.
// Used by suites that test whole programs (muxctl) the way a user runs them.
#pragma once

#include <string>
#include <vector>

namespace vextest {

struct ProcessResult {
    int exit_code = -1;   // -1 when the program could not be started
    std::string output;   // standard output, byte for byte
};

// argv[0] is the program path and is passed on as typed.
ProcessResult run_process(const std::vector<std::string> &argv);

// The directory that holds the running test program (tests find the programs
// they drive beside themselves).
std::string own_directory();

}  // namespace vextest
