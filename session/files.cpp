#include "session/files.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#if !defined(_WIN32)
#include <filesystem>
#include <system_error>
#endif

namespace vrx {

std::FILE* open_readable(const char* path, const char* mode) {
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) return nullptr;
  // A first read that fails (rather than meeting the end of an empty file) shows a file that
  // cannot be read at all. The character read goes back, so the stream starts at its beginning.
  const int c = std::fgetc(file);
  if (c == EOF) {
    if (std::ferror(file) != 0) {
      std::fclose(file);
      return nullptr;
    }
    std::clearerr(file);
  } else {
    std::ungetc(c, file);
  }
  return file;
}

#if !defined(_WIN32)
// Whether the path names something that is neither a regular file nor a directory (a pipe, a
// device), which a check must not open: that could block, or end a reader's stream. This file is
// built with exceptions so that the path objects' allocations may fail here: nothing leaves these
// functions but a result.
static bool special_file(const char* path) noexcept {
  namespace fs = std::filesystem;
  try {
    std::error_code ec;
    const fs::file_type type = fs::status(path, ec).type();
    return type != fs::file_type::regular && type != fs::file_type::directory &&
           type != fs::file_type::not_found && type != fs::file_type::none;
  } catch (...) {
    return false;
  }
}
#endif

bool can_append(const char* path) {
#if !defined(_WIN32)
  if (special_file(path)) return true;
#endif
  errno = 0;
  std::FILE* f = std::fopen(path, "rb");
  const bool missing = f == nullptr && errno == ENOENT;
  if (f != nullptr) std::fclose(f);
  f = std::fopen(path, "ab");
  if (f == nullptr) return false;
  std::fclose(f);
  if (missing) std::remove(path);
  return true;
}

namespace {

// 64 bits that differ between calls and between processes: a counter, the clocks in their
// finest units, and addresses that move with every process (address-space randomisation).
uint64_t unique_bits() {
  static uint64_t counter = 0;
  const int local = 0;
  uint64_t x = ++counter * 0x9E3779B97F4A7C15ull;
  x ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  x ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 17;
  x ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local)) << 7;
  x ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter)) << 29;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Writes `base` followed by "." and 16 hex digits of `x` and `tail` (4 characters) into `out`.
void name_beside(char* out, const char* base, size_t base_length, uint64_t x, const char* tail) {
  std::memcpy(out, base, base_length);
  char* p = out + base_length;
  *p++ = '.';
  for (int i = 15; i >= 0; --i) p[i] = "0123456789abcdef"[(x >> (4 * (15 - i))) & 15];
  std::memcpy(p + 16, tail, 5);
}

bool exists(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

// Whether the target can be replaced: it is not there yet, or it is a file the library may read
// and write and seek in (a pipe, a directory or a read-only file is not).
bool replaceable(const char* target) {
  errno = 0;
  std::FILE* f = std::fopen(target, "r+b");
  if (f == nullptr) return errno == ENOENT;
  const bool seekable = std::fseek(f, 0, SEEK_END) == 0;
  std::fclose(f);
  return seekable;
}

#if !defined(_WIN32)
// Where the target's contents live: through a symbolic link, the file it names (so the link
// stays), as a path in memory of its own (null when the target is no link, or on failure). False
// for a target that is there but is no regular file (a directory, a pipe, a device), which is not
// opened at all (a pipe would block).
bool resolve(const char* target, char*& resolved) noexcept {
  namespace fs = std::filesystem;
  resolved = nullptr;
  try {
    std::error_code ec;
    const fs::path path(target);
    const fs::file_type type = fs::status(path, ec).type();
    if (type != fs::file_type::regular && type != fs::file_type::not_found) return false;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
    const std::string real = fs::weakly_canonical(path, ec).string();
    if (ec) return false;
    resolved = new (std::nothrow) char[real.size() + 1];
    if (resolved != nullptr) std::memcpy(resolved, real.c_str(), real.size() + 1);
    return resolved != nullptr;
  } catch (...) {
    return false;
  }
}

// Gives the new file the permissions of the file it replaces.
void copy_permissions(const char* from, const char* to) noexcept {
  namespace fs = std::filesystem;
  try {
    std::error_code ec;
    const fs::file_status old = fs::status(from, ec);
    if (!ec && fs::is_regular_file(old)) fs::permissions(to, old.permissions(), ec);
  } catch (...) {
    // No memory for a path: the new file keeps the permissions it was created with.
  }
}
#endif

}  // namespace

ReplacingFile::~ReplacingFile() {
  discard();
}

bool ReplacingFile::create(const char* directory, const char* name) {
  discard();
  const size_t dir_length = std::strlen(directory), name_length = std::strlen(name);
  char given_here[512];
  char* given = dir_length + name_length < sizeof given_here
                    ? given_here
                    : new (std::nothrow) char[dir_length + name_length + 1];
  if (given == nullptr) return false;
  std::memcpy(given, directory, dir_length);
  std::memcpy(given + dir_length, name, name_length + 1);
  // Through a link, the file it names is replaced, beside itself.
  char* resolved = nullptr;
#if !defined(_WIN32)
  const bool resolvable = resolve(given, resolved);
#else
  const bool resolvable = true;
#endif
  const char* base = resolved != nullptr ? resolved : given;
  const size_t length = std::strlen(base), each = length + kSuffix;
  paths_ = resolvable ? (3 * each <= sizeof buffer_ ? buffer_ : new (std::nothrow) char[3 * each])
                      : nullptr;
  if (paths_ != nullptr) {
    target_ = paths_;
    temp_ = paths_ + each;
    aside_ = paths_ + 2 * each;
    std::memcpy(target_, base, length + 1);
  }
  if (given != given_here) delete[] given;
  delete[] resolved;
  if (paths_ == nullptr || !replaceable(target_)) return false;
  // A name of its own beside the target: two conversions into one directory never share one.
  for (int attempt = 0; attempt < 8; ++attempt) {
    name_beside(temp_, target_, length, unique_bits(), ".tmp");
    if (exists(temp_)) continue;
    file_ = std::fopen(temp_, "wb");
    break;
  }
  return file_ != nullptr;
}

void ReplacingFile::discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
    std::remove(temp_);
  }
  if (paths_ != buffer_) delete[] paths_;
  paths_ = target_ = temp_ = aside_ = nullptr;
}

bool ReplacingFile::commit() {
  if (file_ == nullptr) return false;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  bool placed = false;
  if (closed) {
#if defined(_WIN32)
    // A rename does not replace an existing file here. The old file steps aside under a name of
    // its own, the new one takes its place, and only then does the old one go; when the new one
    // cannot, the old one comes back. (The C library's rename keeps the narrow paths meaning
    // what they mean to fopen.)
    name_beside(aside_, target_, std::strlen(target_), unique_bits(), ".old");
    const bool moved = !exists(aside_) && std::rename(target_, aside_) == 0;
    placed = std::rename(temp_, target_) == 0;
    if (moved && !placed) std::rename(aside_, target_);
    if (moved && placed) std::remove(aside_);
#else
    copy_permissions(target_, temp_);
    placed = std::rename(temp_, target_) == 0;  // atomic: the old file or the new, never neither
#endif
  }
  if (!placed) std::remove(temp_);
  discard();
  return placed;
}

}  // namespace vrx
