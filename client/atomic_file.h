// Output files that a failure cannot destroy. A regular file, or a name that does not exist yet,
// is written to a temporary file beside it (".NAME.XXXXXX" in the same directory, so that the
// rename stays on one file system) and renamed over it only when it is complete: until then, and
// after any failure or interruption, the target is exactly as it was. A target that exists and is
// not a regular file (standard output "-", a terminal, /dev/null, a FIFO, a device) is written in
// place: there is nothing there to keep (so are paths under /dev/ and /proc/, /dev/stdout being
// standard output itself). A file this user may not write is refused, as opening it would be.
//
// Every write, flush and close is checked; a failure reports errno's sentence. The temporaries
// not yet committed are listed where a signal handler can remove them
// (remove_unfinished_outputs), so that an interrupted client leaves none behind.
#pragma once

#include <cstdio>
#include <string>

namespace client {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Opens the output for `target` ("-" is standard output). False, with `error` set, when it
  // cannot be made; nothing has changed then.
  bool open(const std::string& target, std::string& error);
  std::FILE* stream() const { return stream_; }
  // Written in place (not through a temporary).
  bool in_place() const { return temporary_.empty(); }
  // The temporary's path (empty in place): a writer that takes a path may write it instead of
  // the stream.
  const std::string& temporary() const { return temporary_; }
  const std::string& target() const { return target_; }

  // Flushes, syncs and closes the output and renames the temporary over the target (with
  // `replace` false, only when the target does not exist yet: EEXIST otherwise). In place: flushes
  // (and closes what it opened). False, with `error` set, when anything failed; the temporary is
  // removed then and the target is as it was.
  bool commit(std::string& error, bool replace = true);
  // Keeps what was written under another name instead (a partial output): as commit, to `name`.
  bool commit_as(const std::string& name, std::string& error);
  // The name commit() will give the output (written in place: none, the output stays where it is).
  void retarget(const std::string& name);
  // Closes and removes the temporary; the target is as it was. In place: closes what it opened.
  void discard();

 private:
  bool finish(std::string& error);  // flush, sync, close
  void release();                   // forgets the temporary (no longer to be removed)
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  bool owns_stream_ = false;
  int slot_ = -1;  // the temporary's place in the list of unfinished outputs
  friend bool commit_both(AtomicFile& first, AtomicFile& second, std::string& error);
};

// Commits two outputs that belong together (a recording's samples and their description): both
// take their names, or neither target changes. False, with `error` set, when anything failed;
// both temporaries are removed then.
bool commit_both(AtomicFile& first, AtomicFile& second, std::string& error);

// The name a partial output is kept under: NAME.partial.EXT (NAME.partial without an extension).
std::string partial_name(const std::string& path);

// Removes every temporary of an AtomicFile not yet committed or discarded. Async-signal-safe: for
// a termination signal's handler.
void remove_unfinished_outputs();

// errno's sentence.
std::string errno_sentence(int error_number);

}  // namespace client
