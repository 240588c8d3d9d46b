// The files and directories the tool makes for itself, and what becomes of them when it is
// stopped: private directories removed at exit and on the termination signals, the temporaries
// of outputs not yet complete (client/atomic_file.h) removed on those signals, and a capture that
// may finish its current block before it stops.
#pragma once

#include <string>

namespace tool {

// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE: each removes what the tool has
// not finished (temporaries, private directories), then ends the tool by the same signal.
void install_signal_handlers();

// While a Deferral lives, SIGINT, SIGTERM and SIGHUP only mark the tool as interrupted (a second
// one ends it at once): a capture stops after its current block, closes the board and removes
// (or keeps, when asked) what it read, then calls die_of().
class Deferral {
 public:
  Deferral();
  ~Deferral();
  Deferral(const Deferral&) = delete;
  Deferral& operator=(const Deferral&) = delete;
};
// The signal that came while deferred (0: none).
int interrupted();
// Removes what the tool has not finished and ends it by `sig`.
[[noreturn]] void die_of(int sig);

// A new directory of this process's own (mode 0700) for one file (`file`): under TMPDIR when
// `parent` is empty, else in `parent` (".vrx5200-XXXXXX", beside where the file goes, so that it
// can be renamed there). Removed with its file at exit, on the termination signals, and by
// remove_private_dir(). On failure: false with `error` set.
bool make_private_dir(std::string& dir, std::string& error, const char* file = "DAC_test.bin",
                      const std::string& parent = "");
// The same under TMPDIR, failing with the file exit code.
std::string make_private_dir(const char* file = "DAC_test.bin");
// Removes a private directory (and its file) now.
void remove_private_dir(const std::string& dir);

// Fails with the file exit code unless `path` is a regular file this process can read.
void check_readable_file(const std::string& path);

// The path under which the library can open an input file: `path` itself, or for "-" a copy of
// standard input (read whole, as `file` in a private directory under TMPDIR, removed at exit),
// so that `-` is standard input for every input as it is standard output for every output.
// Standard input that cannot be read fails with the file exit code.
std::string input_path(const std::string& path, const char* file);

// Makes `dir` unless it is a directory already; true when it made it.
bool ensure_dir(const std::string& dir);

// Writes `bytes` to `path` through a temporary beside it, renamed there only when complete; an
// existing `path` is never replaced (the demo's files).
void write_new_file(const std::string& path, const std::string& bytes);

}  // namespace tool
