#include "server/channel.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace server {
namespace {

// A head is a few numbers and names; data is at most an upload or a capture.
constexpr uint32_t kMaxHead = 1 << 24;
constexpr uint64_t kMaxData = uint64_t{1} << 31;

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct Header {
  uint32_t kind;
  uint32_t head_size;
  uint64_t data_size;
};

}  // namespace

Channel::~Channel() {
  if (fd_ >= 0) close(fd_);
}

bool Channel::send(Message kind, const nlohmann::json& head, const void* data, size_t size) {
  const std::string text = head.dump();
  const Header h{static_cast<uint32_t>(kind), static_cast<uint32_t>(text.size()), size};
  std::lock_guard<std::mutex> lock(send_mutex_);
  return write_all(fd_, &h, sizeof h) && write_all(fd_, text.data(), text.size()) &&
         (size == 0 || write_all(fd_, data, size));
}

bool Channel::receive(Frame& f) {
  Header h{};
  if (!read_all(fd_, &h, sizeof h) || h.head_size > kMaxHead || h.data_size > kMaxData) {
    return false;
  }
  std::string text(h.head_size, '\0');
  if (!read_all(fd_, text.data(), text.size())) return false;
  f.kind = static_cast<Message>(h.kind);
  f.head = nlohmann::json::parse(text, nullptr, false);
  if (f.head.is_discarded()) return false;
  f.data.resize(static_cast<size_t>(h.data_size));
  return read_all(fd_, f.data.data(), f.data.size());
}

bool Channel::readable(int timeout_ms) const {
  pollfd p{fd_, POLLIN, 0};
  for (;;) {
    const int n = poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace server
