// What the muxctl suite needs from the machine it runs on: where the program
// is, a private service state, and a way to look at the registry directly.
// On Linux that state is the stand-in's folder; on Windows (Wine) it is the
// real service control manager and registry of the test prefix.
#pragma once

#include <string>

namespace muxtest {

// The muxctl program built beside this test.
std::string muxctl_program();

// The directory of `program` as muxctl sees it (a Windows path).
std::string windows_directory_of(const std::string &program);

// Gives this test a service state of its own (Linux) and forgets it again.
void begin_private_state();
void end_private_state();

// A copy of muxctl in a fresh folder; with_service_program puts a service
// program "multiplexor.exe" beside it that starts and stops for real.
std::string muxctl_copy(bool with_service_program);

// Waits (bounded) until the service program beside `program` reports running.
bool wait_until_service_runs(const std::string &program);

// Whether HKLM\<path> exists.
bool registry_key_exists(const std::string &path);

// Makes every later registry value write fail with `code`; false where the
// platform offers no such switch.
bool fail_registry_writes(unsigned code);

}  // namespace muxtest
