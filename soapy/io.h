// Whole-message socket I/O for the module and its worker. Writes never raise SIGPIPE: a peer that
// is gone reads as a failure.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "soapy/protocol.h"

namespace vrxsoapy {

inline bool send_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

inline bool recv_all(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t got = recv(fd, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A header followed by its payload.
template <typename Header>
bool send_message(int fd, Header header, const std::string& payload) {
  header.length = static_cast<uint32_t>(payload.size());
  return send_all(fd, &header, sizeof header) &&
         (payload.empty() || send_all(fd, payload.data(), payload.size()));
}

template <typename Header>
bool recv_message(int fd, Header& header, std::string& payload, size_t limit) {
  if (!recv_all(fd, &header, sizeof header) || header.length > limit) return false;
  payload.resize(header.length);
  return header.length == 0 || recv_all(fd, payload.data(), header.length);
}

}  // namespace vrxsoapy
