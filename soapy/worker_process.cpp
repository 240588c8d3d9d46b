#include "soapy/worker_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <SoapySDR/Logger.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "soapy/io.h"

extern char** environ;

#ifndef VRX5200_WORKER_FROM_MODULE
#define VRX5200_WORKER_FROM_MODULE "vrx5200-soapy-worker"
#endif

namespace vrxsoapy {
namespace {

constexpr char kWorkerName[] = "vrx5200-soapy-worker";

std::string module_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&worker_path), &info) == 0 || info.dli_fname == nullptr) {
    return ".";
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A descriptor moved above the three the worker gets (3, 4, 5), so that placing them cannot
// overwrite one that is still to be placed. Close-on-exec: only the placed copies cross.
int high(int fd) {
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

// Starts the worker with `args`; `fds` go to descriptors 3, 4, ... (or `out` to 1 when it is
// not -1); nothing else of this process crosses.
pid_t spawn(const std::vector<std::string>& args, const std::vector<int>& fds, int out) {
  const std::string path = worker_path();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (size_t i = 0; i < fds.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, fds[i], kControlFd + static_cast<int>(i));
  }
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, kControlFd + static_cast<int>(fds.size()));
  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
  }
  return pid;
}

// Waits for the worker to end, at most `patience`; then ends it.
void reap(pid_t pid, std::chrono::milliseconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::string worker_path() {
  const std::string dir = module_dir();
  const std::string beside = dir + "/" + kWorkerName;
  if (access(beside.c_str(), X_OK) == 0) return beside;
  return dir + "/" + VRX5200_WORKER_FROM_MODULE;
}

std::vector<std::string> list_boards(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  std::vector<std::string> all = {"--list"};
  all.insert(all.end(), args.begin(), args.end());
  pid_t pid = -1;
  try {
    pid = spawn(all, {}, pipe_fds[1]);
  } catch (const std::exception& e) {
    SoapySDR::logf(SOAPY_SDR_DEBUG, "vrx5200: %s", e.what());
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return {};
  }
  close(pipe_fds[1]);
  // Discovery lists the USB devices and reads their strings: seconds at the most.
  std::string text;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      SoapySDR::log(SOAPY_SDR_WARNING, "vrx5200: discovery did not finish in 20 s");
      text.clear();
      break;
    }
    char buffer[1024];
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  reap(pid, std::chrono::milliseconds(100));
  std::vector<std::string> keys;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.rfind("error: ", 0) == 0) {
      SoapySDR::logf(SOAPY_SDR_DEBUG, "vrx5200: %s", line.c_str() + 7);
    } else if (!line.empty()) {
      keys.push_back(line);
    }
  }
  return keys;
}

WorkerProcess::WorkerProcess(const std::vector<std::string>& args) {
  int control[2] = {-1, -1}, data[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) {
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  }
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, data) != 0) {
    const int e = errno;
    close(control[0]);
    close(control[1]);
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(e));
  }
  control_ = control[0];
  data_ = data[0];
  const int ring = memfd_create("vrx5200-soapy-ring", MFD_CLOEXEC);
  void* mapped = MAP_FAILED;
  if (ring >= 0 && ftruncate(ring, static_cast<off_t>(kRingBytes)) == 0) {
    mapped = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring, 0);
  }
  if (mapped == MAP_FAILED) {
    const int e = errno;
    if (ring >= 0) close(ring);
    close(control[1]);
    close(data[1]);
    stop();
    throw std::runtime_error(std::string("no memory for the sample ring: ") + std::strerror(e));
  }
  ring_ = static_cast<uint16_t*>(mapped);
  const std::vector<int> fds = {high(control[1]), high(data[1]), high(ring)};
  try {
    pid_ = spawn(args, fds, -1);
  } catch (...) {
    for (int fd : fds) close(fd);
    stop();
    throw;
  }
  for (int fd : fds) close(fd);
  ReplyHeader header{};
  std::string payload;
  if (!recv_message(control_, header, payload, 1 << 20)) {
    stop();
    throw std::runtime_error("the worker process ended before it opened the board");
  }
  if (header.status != 0) {
    stop();
    throw std::runtime_error(payload);
  }
  opened_ = payload;
}

WorkerProcess::~WorkerProcess() {
  stop();
}

void WorkerProcess::stop() {
  // Closing the control socket asks the worker to close its board and end; it finishes the
  // library call it is in first.
  if (control_ >= 0) close(control_);
  if (data_ >= 0) close(data_);
  control_ = data_ = -1;
  if (pid_ > 0) reap(pid_, std::chrono::seconds(15));
  pid_ = -1;
  if (ring_ != nullptr) munmap(ring_, kRingBytes);
  ring_ = nullptr;
}

Reply WorkerProcess::call(Op op, const std::string& payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reply reply;
  ReplyHeader header{};
  if (control_ < 0 ||
      !send_message(control_, RequestHeader{static_cast<uint32_t>(op), 0}, payload) ||
      !recv_message(control_, header, reply.payload, 1 << 24)) {
    throw std::runtime_error("the board's worker process has ended");
  }
  reply.status = header.status;
  return reply;
}

}  // namespace vrxsoapy
