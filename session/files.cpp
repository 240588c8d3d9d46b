#include "session/files.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>

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

bool can_append(const char* path) {
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

}  // namespace

ReplacingFile::~ReplacingFile() {
  discard();
}

bool ReplacingFile::create(const char* directory, const char* name) {
  discard();
  const size_t dir_length = std::strlen(directory), name_length = std::strlen(name);
  const size_t length = dir_length + name_length;
  const size_t each = length + kSuffix;
  paths_ = 3 * each <= sizeof buffer_ ? buffer_ : new (std::nothrow) char[3 * each];
  if (paths_ == nullptr) return false;
  target_ = paths_;
  temp_ = paths_ + each;
  aside_ = paths_ + 2 * each;
  std::memcpy(target_, directory, dir_length);
  std::memcpy(target_ + dir_length, name, name_length + 1);
  if (!replaceable(target_)) return false;
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
    placed = std::rename(temp_, target_) == 0;  // atomic: the old file or the new, never neither
#endif
  }
  if (!placed) std::remove(temp_);
  discard();
  return placed;
}

}  // namespace vrx
