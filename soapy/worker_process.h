// The module's side of a worker process (soapy/worker.cpp): starting it, its requests and
// replies, the sample ring it fills, and its end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "soapy/protocol.h"

namespace vrxsoapy {

struct Reply {
  int32_t status = 0;  // 0, a library result code, or kRefused
  std::string payload;
};

// The worker program: beside the module in the build tree, else where the installation puts it.
std::string worker_path();

// Runs a listing worker (--list plus `args`) and returns the serial keys it printed; empty when
// it found none or failed (the reason goes to the SoapySDR log).
std::vector<std::string> list_boards(const std::vector<std::string>& args);

class WorkerProcess {
 public:
  // Starts a worker with `args` and waits for it to open its board; throws std::runtime_error
  // with the reason when it cannot.
  explicit WorkerProcess(const std::vector<std::string>& args);
  ~WorkerProcess();
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  // One request and its reply (from any thread: requests take turns). A worker that is gone
  // throws std::runtime_error.
  Reply call(Op op, const std::string& payload = "");

  const std::string& opened() const { return opened_; }  // the first reply: the identity
  int data_fd() const { return data_; }
  const uint16_t* ring() const { return ring_; }

 private:
  void stop();

  pid_t pid_ = -1;
  int control_ = -1, data_ = -1;
  uint16_t* ring_ = nullptr;
  std::string opened_;
  std::mutex mutex_;
};

}  // namespace vrxsoapy
