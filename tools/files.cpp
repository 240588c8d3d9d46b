#include "tools/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/atomic_file.h"
#include "tools/failure.h"

namespace tool {
namespace {

// The private directories and the one file each holds: a fixed table the signal handler walks
// (it only calls unlink and rmdir). A slot is free (0), being filled (1) or in use (2).
struct PrivateDir {
  std::atomic<int> state{0};
  char dir[PATH_MAX] = {};
  char file[PATH_MAX] = {};
};
constexpr int kPrivateDirs = 4;
PrivateDir g_private[kPrivateDirs];

void remove_private_dirs() {
  // The later ones first: a private directory may hold another one (play --keep converts into
  // one, and the conversion makes its own inside it).
  for (int i = kPrivateDirs - 1; i >= 0; --i) {
    if (g_private[i].state.load() != 2) continue;
    unlink(g_private[i].file);
    rmdir(g_private[i].dir);
  }
}

void remove_unfinished() {
  client::remove_unfinished_outputs();
  remove_private_dirs();
}

volatile std::sig_atomic_t g_deferring = 0;
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_signal(int sig) {
  if (g_deferring != 0 && g_interrupted == 0 && sig != SIGPIPE) {
    g_interrupted = sig;
    return;
  }
  remove_unfinished();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void install_signal_handlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, on_signal);
  std::atexit(remove_private_dirs);
}

Deferral::Deferral() {
  g_deferring = 1;
}

Deferral::~Deferral() {
  g_deferring = 0;
}

int interrupted() {
  return g_interrupted;
}

void die_of(int sig) {
  std::fflush(stdout);
  remove_unfinished();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  std::_Exit(128 + sig);
}

bool make_private_dir(std::string& dir, std::string& error, const char* file,
                      const std::string& parent) {
  std::string pattern;
  if (parent.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vrx5200-XXXXXX";
  } else {
    pattern = parent + "/.vrx5200-XXXXXX";
  }
  if (pattern.size() + 1 + std::strlen(file) >= PATH_MAX) {
    error = "the path is too long";
    return false;
  }
  for (PrivateDir& p : g_private) {
    int expected = 0;
    if (!p.state.compare_exchange_strong(expected, 1)) continue;
    if (mkdtemp(pattern.data()) == nullptr) {
      error = errno_text();
      p.state.store(0);
      return false;
    }
    std::snprintf(p.dir, sizeof p.dir, "%s", pattern.c_str());
    std::snprintf(p.file, sizeof p.file, "%s/%s", pattern.c_str(), file);
    p.state.store(2);
    dir = pattern;
    return true;
  }
  error = "too many temporary directories";
  return false;
}

std::string make_private_dir(const char* file) {
  std::string dir, error;
  if (!make_private_dir(dir, error, file)) {
    fail("cannot make a temporary directory under TMPDIR: " + error, kExitFile);
  }
  return dir;
}

void remove_private_dir(const std::string& dir) {
  for (PrivateDir& p : g_private) {
    if (p.state.load() != 2 || dir != p.dir) continue;
    unlink(p.file);
    rmdir(p.dir);
    p.state.store(0);
  }
}

void check_readable_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot read \"" + path + "\": " + errno_text(), kExitFile);
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) {
    fail("cannot read \"" + path +
             "\": " + (S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file"),
         kExitFile);
  }
}

std::string input_path(const std::string& path, const char* file) {
  if (path != "-") return path;
  const std::string copy = make_private_dir(file) + "/" + file;
  std::FILE* out = std::fopen(copy.c_str(), "wb");
  if (out == nullptr) fail("cannot write \"" + copy + "\": " + errno_text(), kExitFile);
  char buffer[65536];
  size_t n = 0;
  bool written = true;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    written = written && std::fwrite(buffer, 1, n, out) == n;
  }
  const bool read = std::ferror(stdin) == 0;
  const std::string reason = errno_text();
  written = std::fclose(out) == 0 && written;
  if (!read) fail("cannot read standard input: " + reason, kExitFile);
  if (!written) fail("cannot write \"" + copy + "\": " + reason, kExitFile);
  return copy;
}

bool ensure_dir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  if (mkdir(dir.c_str(), 0777) != 0) {
    fail("cannot make the directory \"" + dir + "\": " + errno_text(), kExitFile);
  }
  return true;
}

void write_new_file(const std::string& path, const std::string& bytes) {
  client::AtomicFile out;
  std::string error;
  if (!out.open(path, error)) fail("cannot write \"" + path + "\": " + error, kExitFile);
  if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size()) {
    fail("writing \"" + path + "\" failed: " + errno_text(), kExitFile);
  }
  if (!out.commit(error, false)) fail("writing \"" + path + "\" failed: " + error, kExitFile);
}

}  // namespace tool
