#include "server/boards.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "vrx5200_brdctrl.h"

extern char** environ;

namespace server {

using nlohmann::json;

namespace {

std::atomic<uint64_t> g_next_use{1};

std::string exit_text(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "ended";
}

}  // namespace

// ---- one board ----

BoardHost::BoardHost(std::string key, std::vector<std::string> command, EventHub& hub,
                     size_t max_queue)
    : key_(std::move(key)), command_(std::move(command)), hub_(hub), queue_(hub, max_queue, key_) {}

BoardHost::~BoardHost() {
  stop();
}

void BoardHost::spawn() {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw ApiError{500, std::string("cannot make the board's channel: ") + strerror(errno), {}};
  }
  // The worker finds its end on descriptor 3 (a dup2 there clears close-on-exec; one already
  // there is moved first, since a dup2 onto itself would keep the flag).
  if (pair[1] == 3) {
    const int moved = fcntl(pair[1], F_DUPFD_CLOEXEC, 10);
    close(pair[1]);
    pair[1] = moved;
  }
  std::vector<std::string> args = command_;
  args.push_back(key_);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The token stays with the server.
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VRX5200_TOKEN", 13) != 0) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  if (spawned != 0) {
    close(pair[0]);
    throw ApiError{
        500, std::string("cannot start the board's worker process: ") + strerror(spawned), {}};
  }
  pid_ = pid;
  channel_ = std::make_unique<Channel>(pair[0]);
}

void BoardHost::end_process(std::string& how) {
  channel_.reset();  // the worker sees the end of its channel, closes its board and exits
  if (pid_ <= 0) return;
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  how = exit_text(status);
  pid_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
}

void BoardHost::call(Job& job, json op, const std::string& data, json& result, std::string& out) {
  if (!channel_) spawn();
  op["id"] = job.id;
  if (!channel_->send(Message::kJob, op, data.data(), data.size())) {
    std::string how;
    end_process(how);
    throw ApiError{502, "the board's worker process has ended (" + how + ")", {}};
  }
  bool cancel_sent = false;
  for (;;) {
    if (!channel_->readable(50)) {
      if (job.cancel && !cancel_sent) {
        channel_->send(Message::kCancel, {{"id", job.id}});
        cancel_sent = true;
      }
      continue;
    }
    Frame f;
    if (!channel_->receive(f)) {
      std::string how;
      end_process(how);
      throw ApiError{502, "the board's worker process has ended (" + how + ")", {}};
    }
    if (f.kind == Message::kEvent) {
      const std::string type = f.head.value("type", std::string());
      json event = json::parse(f.head.value("data", std::string("{}")), nullptr, false);
      if (event.is_discarded() || !event.is_object()) continue;
      event["board"] = key_;
      if (type == "job" && event.value("id", uint64_t{0}) == job.id) {
        job.progress = event.value("progress", 0.0);
      }
      if (type == "board") {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = event.value("open", false);
      }
      hub_.send(type, event.dump(), key_);
      continue;
    }
    if (f.kind != Message::kDone) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_ = f.head.value("calls", calls_);
      overlaps_ = f.head.value("overlaps", overlaps_);
      open_ = f.head.value("open", open_);
    }
    if (f.head.value("ok", false)) {
      result = f.head.value("result", json());
      out = std::move(f.data);
      return;
    }
    std::optional<int32_t> code;
    if (f.head.contains("code") && f.head["code"].is_number_integer()) {
      code = f.head["code"].get<int32_t>();
    }
    throw ApiError{f.head.value("status", 500), f.head.value("error", std::string("failed")), code};
  }
}

uint64_t BoardHost::add_use() {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t use = g_next_use++;
  uses_.insert(use);
  return use;
}

bool BoardHost::end_use(uint64_t use, size_t& left) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool found = uses_.erase(use) == 1;
  left = uses_.size();
  return found;
}

size_t BoardHost::uses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return uses_.size();
}

bool BoardHost::is_open() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

json BoardHost::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {{"open", open_},
          {"uses", uses_.size()},
          {"library_calls", calls_},
          {"overlapping_calls", overlaps_}};
}

void BoardHost::stop() {
  queue_.cancel_all();
  queue_.wait_idle(5000);
  std::string how;
  end_process(how);
}

// ---- every board ----

Boards::Boards(client::Library& lib, std::vector<std::string> worker_command, std::string preferred,
               EventHub& hub, size_t max_queue)
    : lib_(lib),
      command_(std::move(worker_command)),
      preferred_(std::move(preferred)),
      hub_(hub),
      max_queue_(max_queue) {}

std::vector<std::string> Boards::discover() {
  int32_t count = 0, length = 0;
  char keys[901] = {};
  const int32_t found = lib_.Get_VRX5200_EVM(&count, keys, &length);
  if (found != 0 && found != VRX5200_RESULT_NO_DEVICES) {
    throw ApiError{502, "discovery failed", found};
  }
  keys_ = found == VRX5200_RESULT_NO_DEVICES ? std::vector<std::string>{}
                                             : client::split_keys(keys, count);
  discovered_ = true;
  return keys_;
}

json Boards::list() {
  std::vector<std::string> keys;
  std::map<std::string, std::shared_ptr<BoardHost>> hosts;
  std::string chosen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keys = discover();
    hosts = hosts_;
    chosen = preferred_.empty() ? (keys.empty() ? "" : keys.front()) : preferred_;
    // A board open in its worker may be missing from this process's discovery (a driver that
    // lists only the devices no process holds): it is listed all the same.
    for (auto& [key, host] : hosts_) {
      if (host->is_open() && std::find(keys.begin(), keys.end(), key) == keys.end()) {
        keys.push_back(key);
      }
    }
  }
  json out = json::array();
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto at = hosts.find(keys[i]);
    const bool open = at != hosts.end() && at->second->is_open();
    const size_t uses = at != hosts.end() ? at->second->uses() : 0;
    out.push_back({{"number", i},
                   {"key", keys[i]},
                   {"open", open},
                   {"default", keys[i] == chosen},
                   {"uses", uses}});
  }
  return out;
}

std::shared_ptr<BoardHost> Boards::host(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string wanted = key.empty() ? preferred_ : key;
  auto known = [&] {
    return hosts_.count(wanted) != 0 ||
           std::find(keys_.begin(), keys_.end(), wanted) != keys_.end();
  };
  if (wanted.empty()) {
    if (!discovered_ || keys_.empty()) discover();
    if (keys_.empty()) throw ApiError{409, "no board found", VRX5200_RESULT_NO_DEVICES};
    wanted = keys_.front();
  } else if (!known()) {
    discover();  // plugged in since the last look?
    if (!known()) {
      if (key.empty() && keys_.empty()) {
        throw ApiError{409, "no board found", VRX5200_RESULT_NO_DEVICES};
      }
      throw ApiError{404, "no board with serial key \"" + wanted + "\"", std::nullopt};
    }
  }
  auto& host = hosts_[wanted];
  if (!host) host = std::make_shared<BoardHost>(wanted, command_, hub_, max_queue_);
  return host;
}

std::string Boards::library_version() {
  std::lock_guard<std::mutex> lock(mutex_);
  int32_t major = 0, minor = 0;
  const int32_t r = lib_.Get_DLL_Version(&major, &minor);
  if (r != 0) throw ApiError{502, "library version failed", r};
  return std::to_string(major) + "." + std::to_string(minor);
}

std::vector<std::shared_ptr<BoardHost>> Boards::hosts() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<BoardHost>> out;
  for (auto& [key, host] : hosts_) out.push_back(host);
  return out;
}

json Boards::status() {
  json boards = json::object();
  uint64_t calls = 0, overlaps = 0;
  for (auto& h : hosts()) {
    json s = h->state();
    calls += s["library_calls"].get<uint64_t>();
    overlaps += s["overlapping_calls"].get<uint64_t>();
    boards[h->key()] = s;
  }
  return {{"library_calls", calls}, {"overlapping_calls", overlaps}, {"boards", boards}};
}

Worker::Cancel Boards::cancel(uint64_t id, const std::string& key) {
  Worker::Cancel result = Worker::Cancel::kNoSuchJob;
  for (auto& h : hosts()) {
    if (!key.empty() && h->key() != key) continue;
    const Worker::Cancel c = h->queue().cancel(id);
    if (c != Worker::Cancel::kNoSuchJob) result = c;
  }
  return result;
}

std::string Boards::jobs_json(const std::string& key) {
  return host(key)->queue().jobs_json();
}

void Boards::cancel_all() {
  for (auto& h : hosts()) h->queue().cancel_all();
}

void Boards::stop() {
  for (auto& h : hosts()) h->stop();
}

}  // namespace server
