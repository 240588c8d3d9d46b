#include "tools/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/failure.h"

namespace tool {
namespace {

// The private directory of a conversion and the file in it (the handler only calls unlink and
// rmdir).
char g_private_dir[PATH_MAX] = "";
char g_private_file[PATH_MAX] = "";

extern "C" void on_signal(int sig) {
  remove_private_dir();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void remove_private_dir() {
  if (g_private_file[0] != '\0') unlink(g_private_file);
  if (g_private_dir[0] != '\0') rmdir(g_private_dir);
  g_private_file[0] = g_private_dir[0] = '\0';
}

std::string make_private_dir(const char* file) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vrx5200-XXXXXX";
  if (pattern.size() + 1 + std::strlen(file) >= sizeof g_private_dir) {
    fail("the temporary directory's path is too long (TMPDIR)", kExitFile);
  }
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("cannot make a temporary directory from \"" + pattern + "\": " + errno_text(), kExitFile);
  }
  std::snprintf(g_private_dir, sizeof g_private_dir, "%s", pattern.c_str());
  std::snprintf(g_private_file, sizeof g_private_file, "%s/%s", pattern.c_str(), file);
  std::atexit(remove_private_dir);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, on_signal);
  return pattern;
}

void ensure_dir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  if (mkdir(dir.c_str(), 0777) != 0) {
    fail("cannot make the directory \"" + dir + "\": " + errno_text(), kExitFile);
  }
}

void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot write \"" + path + "\": " + errno_text(), kExitFile);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) {
    fail("writing \"" + path + "\" failed: " + errno_text(), kExitFile);
  }
}

}  // namespace tool
