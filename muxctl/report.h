// How muxctl tells a failure: a prefix, ": ", and the system's text for the
// error code, all on standard output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace muxctl {

// The system's message for `code` into buffer (size bytes, always
// terminated); "Unknown error code: %x" when the system has none.
void format_system_error(char *buffer, std::size_t size, uint32_t code);

// Prints "%s: %s" with the prefix and the system text. No line end is added:
// the system's texts end in their own.
void report_error(const char *prefix, uint32_t code);

}  // namespace muxctl
