#include "client/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace client {
namespace {

// The temporaries not yet committed: a fixed table that a signal handler can walk. A slot is
// free (0), being filled (1) or holds a path to remove (2).
struct Slot {
  std::atomic<int> state{0};
  char path[PATH_MAX] = {};
};
constexpr int kSlots = 16;
Slot g_slots[kSlots];

int claim_slot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_slots[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
      g_slots[i].state.store(2);
      return i;
    }
  }
  return -1;
}

// Six characters for a temporary's name, different from call to call and process to process.
std::string random_suffix() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
               (static_cast<uint64_t>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(6, 'x');
  for (char& c : s) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 29;
    c = kChars[x % 62];
  }
  return s;
}

}  // namespace

std::string errno_sentence(int error_number) {
  return std::strerror(error_number);
}

bool AtomicFile::open(const std::string& target, std::string& error) {
  discard();
  target_ = target;
  if (target == "-" || target == "/dev/stdout" || target == "/dev/fd/1" ||
      target == "/proc/self/fd/1") {
    // Standard output as it is (a file opened for appending stays so).
    stream_ = stdout;
    owns_stream_ = false;
    return true;
  }
  // A symbolic link is followed: the file it names is the one replaced, the link stays.
  std::string path = target;
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && S_ISREG(st.st_mode)) {
    struct stat link {};
    if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char* real = realpath(target.c_str(), nullptr);
      if (real == nullptr) {
        error = errno_sentence(errno);
        return false;
      }
      path = real;
      std::free(real);
    }
  }
  // Devices and the process's own descriptors are streams, never files to keep.
  const bool stream = target.rfind("/dev/", 0) == 0 || target.rfind("/proc/", 0) == 0;
  if (exists && (stream || !S_ISREG(st.st_mode))) {
    // Nothing to keep: written in place (a directory fails here).
    stream_ = std::fopen(target.c_str(), "wb");
    if (stream_ == nullptr) {
      error = errno_sentence(errno);
      return false;
    }
    owns_stream_ = true;
    return true;
  }
  // A file this user may not write is not replaced either.
  if (exists && access(path.c_str(), W_OK) != 0) {
    error = errno_sentence(errno);
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // A new file gets the permissions a new file gets (0666 less the umask); a replaced one keeps
  // its own.
  const mode_t mode = exists ? (st.st_mode & 07777) : 0666;
  int fd = -1;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = dir + "." + base + "." + random_suffix();
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = errno_sentence(errno);
    return false;
  }
  slot_ = claim_slot(temporary);
  temporary_ = temporary;
  if (exists) fchmod(fd, mode);
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    error = errno_sentence(errno);
    ::close(fd);
    discard();
    return false;
  }
  owns_stream_ = true;
  target_ = path;
  return true;
}

bool AtomicFile::finish(std::string& error) {
  if (stream_ == nullptr) return true;
  int failed = 0;
  if (std::fflush(stream_) != 0 || std::ferror(stream_) != 0) failed = errno != 0 ? errno : EIO;
  if (owns_stream_) {
    // The data reaches the disk before the name does, so that a crash cannot leave an empty file
    // under the target's name.
    if (failed == 0 && !temporary_.empty() && fsync(fileno(stream_)) != 0) failed = errno;
    if (std::fclose(stream_) != 0 && failed == 0) failed = errno;
  }
  stream_ = nullptr;
  if (failed != 0) error = errno_sentence(failed);
  return failed == 0;
}

void AtomicFile::release() {
  if (slot_ >= 0) g_slots[slot_].state.store(0);
  slot_ = -1;
  temporary_.clear();
}

bool AtomicFile::commit(std::string& error, bool replace) {
  if (!finish(error)) {
    discard();
    return false;
  }
  if (temporary_.empty()) return true;
  int failed = 0;
  if (replace) {
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) failed = errno;
  } else if (link(temporary_.c_str(), target_.c_str()) != 0) {
    failed = errno;
  } else {
    unlink(temporary_.c_str());
    release();
    return true;
  }
  if (failed != 0) {
    error = errno_sentence(failed);
    discard();
    return false;
  }
  release();
  return true;
}

bool AtomicFile::commit_as(const std::string& name, std::string& error) {
  retarget(name);
  return commit(error);
}

void AtomicFile::retarget(const std::string& name) {
  if (!temporary_.empty()) target_ = name;
}

bool commit_both(AtomicFile& first, AtomicFile& second, std::string& error) {
  // Both complete and on the disk before either takes its name.
  if (!first.finish(error) || !second.finish(error)) {
    first.discard();
    second.discard();
    return false;
  }
  if (first.temporary_.empty()) return second.commit(error);
  // Two renames are not one: the first's old file stays linked under a name of its own until the
  // second has taken its place, so that a second rename that fails puts the first back (a first
  // target that did not exist is removed again). Where no such link can be made (a file system
  // without hard links), a second rename that fails leaves the first one's new file, and the
  // error says so. A signal between the two renames (a window of two system calls) leaves the
  // new first file beside the old second one.
  const std::string& target = first.target_;
  struct stat st {};
  const bool existed = stat(target.c_str(), &st) == 0;
  std::string backup;
  int backup_slot = -1;
  if (existed) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && backup.empty(); ++attempt) {
      const std::string name = dir + "." + base + "." + random_suffix();
      if (link(target.c_str(), name.c_str()) == 0) {
        backup = name;
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (!backup.empty()) backup_slot = claim_slot(backup);
  }
  const auto forget_backup = [&] {
    if (backup.empty()) return;
    unlink(backup.c_str());
    if (backup_slot >= 0) g_slots[backup_slot].state.store(0);
  };
  if (std::rename(first.temporary_.c_str(), target.c_str()) != 0) {
    error = errno_sentence(errno);
    forget_backup();
    first.discard();
    second.discard();
    return false;
  }
  first.release();
  if (second.commit(error)) {
    forget_backup();
    return true;
  }
  // Put back as it was; where that fails, the error says what is where.
  if (!backup.empty()) {
    if (std::rename(backup.c_str(), target.c_str()) != 0) {
      error +=
          "; \"" + target + "\" holds the new data, its old file is kept as \"" + backup + "\"";
    }
    if (backup_slot >= 0) g_slots[backup_slot].state.store(0);
  } else if (!existed) {
    if (unlink(target.c_str()) != 0) error += "; \"" + target + "\" was made all the same";
  } else {
    error += "; \"" + target + "\" holds the new data (its old file could not be kept aside)";
  }
  return false;
}

void AtomicFile::discard() {
  if (stream_ != nullptr && owns_stream_) std::fclose(stream_);
  stream_ = nullptr;
  owns_stream_ = false;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  release();
}

std::string partial_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  // An extension is a dot in the last component, not at its start.
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2) ||
      (slash == std::string::npos && dot == 0)) {
    return path + ".partial";
  }
  return path.substr(0, dot) + ".partial" + path.substr(dot);
}

void remove_unfinished_outputs() {
  for (Slot& slot : g_slots) {
    if (slot.state.load() == 2) unlink(slot.path);
  }
}

}  // namespace client
