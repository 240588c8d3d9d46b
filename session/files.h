// Files the library reads and writes: an input opened only when it can be read (a directory
// cannot, on every system), and an output written beside its target and put in its place only
// once complete, so that a refused or failed write leaves the file the user had as it was.
#pragma once

#include <cstddef>
#include <cstdio>

namespace vrx {

// Opens `path` for reading with `mode` ("r" or "rb"). Null when it cannot be opened, or when it
// opens but cannot be read at all (a directory on POSIX systems, where fopen succeeds on one;
// Windows refuses to open a directory).
std::FILE* open_readable(const char* path, const char* mode);

// Whether `path` can be opened for appending, found out without creating or changing a file: a
// file created to find out is removed again, and a pipe or a device is taken as one that can.
bool can_append(const char* path);

// An output file that replaces a target only when complete. create() opens a new file of a name
// of its own in the target's directory; commit() closes it and puts it in the target's place;
// without a commit, or when it fails, the new file is removed and the target stays as it was.
// A target that exists but is no file the library could write (a directory, a pipe, a file it
// may not read and write) is refused by create(), as it was refused when written directly.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();

  // The target is `directory` followed by `name`. False when it cannot be replaced or no new
  // file can be created beside it.
  bool create(const char* directory, const char* name);
  std::FILE* file() const { return file_; }
  // Closes the new file and puts it in the target's place. False (the new file removed, the
  // target untouched) when closing or replacing fails.
  bool commit();
  // Closes and removes the new file.
  void discard();

 private:
  static constexpr size_t kSuffix = 22;  // "." + 16 hex digits + ".tmp" or ".old", and a NUL
  std::FILE* file_ = nullptr;
  // The target's path, the new file's and the name the old file steps aside to, one after the
  // other in the member buffer or, for long paths, in memory of their own.
  char buffer_[3 * 512];
  char* paths_ = nullptr;
  char *target_ = nullptr, *temp_ = nullptr, *aside_ = nullptr;
};

}  // namespace vrx
