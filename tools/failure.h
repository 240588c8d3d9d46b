// How the tool leaves on a failure: a Failure carries the message and the exit code up to main,
// which prints it (after ending an open progress line) so that every destructor on the way runs.
#pragma once

#include <cstdint>
#include <string>

#include "client/results.h"

namespace tool {

using client::kExitFailure;
using client::kExitFile;
using client::kExitOk;
using client::kExitUsage;

struct Failure {
  std::string message;
  int exit_code;
};

[[noreturn]] void fail(const std::string& message, int exit_code = kExitFailure);

// Fails with the library's sentence, a hint and the matching exit code unless `code` is `success`.
void check(const char* what, int32_t code, int32_t success = 0);

// The sentence of the current errno.
std::string errno_text();

// Prints "vrx5200: MESSAGE" on standard error, on a line of its own.
void print_failure(const std::string& message);

// Progress of a multi-block job on standard error, only when it is a terminal.
class Progress {
 public:
  explicit Progress(const char* label);
  void update(double fraction);
  // Ends the bar's line, so that what follows starts on a line of its own.
  void finish();
  ~Progress() { finish(); }

 private:
  const char* label_;
  bool shown_;
};

}  // namespace tool
