// The SCPI socket of `vrx5200 serve --scpi`: the raw TCP socket of LAN instruments, one
// newline-terminated program message after another, on a thread of its own with poll(). Its
// connections share the HTTP side's boards, job queues, analyses and token (scpi_session.h).
// Bounded like the HTTP side: a message's length, the connections, the time to give the token
// and the time a connection may sit idle; a client that does not read its answers is read no
// further, so it holds one answer's memory and no thread.
#pragma once

#include <cstddef>
#include <memory>

namespace server {

class Api;

struct ScpiLimits {
  size_t max_line = 64 * 1024;     // a longer message is dropped: -223 "Too much data"
  size_t max_connections = 16;     // beyond, the oldest without the token makes room, or the new
                                   // connection is closed
  unsigned login_timeout_s = 30;   // a connection without the token is closed after this
  unsigned idle_timeout_s = 3600;  // one with the token, after this long with nothing moving
};

class ScpiServer {
 public:
  ScpiServer(Api& api, ScpiLimits limits);
  ~ScpiServer();
  ScpiServer(const ScpiServer&) = delete;
  ScpiServer& operator=(const ScpiServer&) = delete;

  // Serves on a listening socket (owned from now on) until stop(). False when no thread starts.
  bool start(int listen_fd);
  // Closes every connection (their jobs cancelled) and the socket.
  void stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace server
