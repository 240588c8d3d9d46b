// The pipe between the server and a board's worker process: frames of a JSON head and a binary
// part (samples, pattern words), written whole by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace server {

enum class Message : uint32_t {
  kJob = 1,     // server to worker: {"id", "op", ...} and the op's data
  kCancel = 2,  // server to worker: {"id"} of the running job
  kEvent = 3,   // worker to server: {"type", "data"} for the event streams
  kDone = 4,    // worker to server: {"id", "ok", "result" | "status", "error", "code"} and data
};

struct Frame {
  Message kind = Message::kJob;
  nlohmann::json head;
  std::string data;
};

class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Writes one frame whole; false when the other end has gone.
  bool send(Message kind, const nlohmann::json& head, const void* data = nullptr, size_t size = 0);
  // Reads one frame; false at the other end's close or on a broken frame.
  bool receive(Frame& f);
  // Whether a frame (or the end) can be read within `timeout_ms`.
  bool readable(int timeout_ms) const;
  int fd() const { return fd_; }

 private:
  int fd_;
  std::mutex send_mutex_;
};

}  // namespace server
