// What a client says about the control library's result codes: the library's own sentence, what
// to try, and the exit code of a command-line client (0 success, 1 the board or the library
// failed, 2 the command line is wrong, 3 a file could not be read or written, 4 an analysis gave
// warnings and was told to be strict about them).
#pragma once

#include <cstdint>
#include <string>

namespace client {

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitFile = 3, kExitWarnings = 4 };

// What to try after a call failed with `code` (empty when there is nothing useful to say).
std::string hint_for(int32_t code);

// The exit code of a failed call: the library's file results are file failures, all others the
// board's or the library's.
int exit_code_for(int32_t code);

// "WHAT failed: result N (the library's sentence); the hint".
std::string failure_text(const std::string& what, int32_t code);

}  // namespace client
