#include "tools/failure.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

bool g_progress_open = false;  // a progress bar without its line end is on standard error

}  // namespace

void fail(const std::string& message, int exit_code) {
  throw Failure{message, exit_code};
}

void check(const char* what, int32_t code, int32_t success) {
  if (code == success) return;
  fail(client::failure_text(what, code), client::exit_code_for(code));
}

std::string errno_text() {
  return std::strerror(errno);
}

void print_failure(const std::string& message) {
  if (g_progress_open) std::fputc('\n', stderr);
  g_progress_open = false;
  std::fprintf(stderr, "vrx5200: %s\n", message.c_str());
}

Progress::Progress(const char* label) : label_(label), shown_(isatty(STDERR_FILENO)) {}

void Progress::update(double fraction) {
  if (!shown_) return;
  const int width = 40;
  const int filled = static_cast<int>(fraction * width + 0.5);
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_, std::string(filled, '#').c_str(),
               std::string(width - filled, '.').c_str(), static_cast<int>(fraction * 100 + 0.5));
  std::fflush(stderr);
  g_progress_open = true;
}

void Progress::finish() {
  if (g_progress_open) std::fputc('\n', stderr);
  g_progress_open = false;
}

}  // namespace tool
