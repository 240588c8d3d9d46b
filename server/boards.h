// The boards of the host as the server sees them: discovery, the default board, and for each
// board in use its worker process (worker_process.h) with the queue of its jobs. Boards run side
// by side; the jobs of one board run one at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "client/library.h"
#include "server/channel.h"
#include "server/jobs.h"

namespace server {

// One board: its worker process, started when a job first needs it, and its queue.
class BoardHost {
 public:
  // `command`: the program and arguments that start a worker (the key is added).
  BoardHost(std::string key, std::vector<std::string> command, EventHub& hub, size_t max_queue);
  ~BoardHost();
  BoardHost(const BoardHost&) = delete;
  BoardHost& operator=(const BoardHost&) = delete;

  const std::string& key() const { return key_; }
  Worker& queue() { return queue_; }

  // Inside a job of this board's queue: runs operation `op` ({"op": ..., its fields}) in the
  // worker process, with `data` for it; the answer's result and data. Throws ApiError.
  void call(Job& job, nlohmann::json op, const std::string& data, nlohmann::json& result,
            std::string& out);

  // A client's use of the board, from its open to its close: the board's ports close when the
  // last use ends, never under another client's feet.
  uint64_t add_use();
  // Ends `use`; false when there is no such use. `left` becomes the uses still held.
  bool end_use(uint64_t use, size_t& left);
  size_t uses();
  bool is_open();
  // {"open", "uses", "library_calls", "overlapping_calls", "worker": pid or null}.
  nlohmann::json state();
  // Ends the worker process (it closes its board first).
  void stop();

 private:
  void spawn();
  void end_process(std::string& how);

  std::string key_;
  std::vector<std::string> command_;
  EventHub& hub_;
  std::mutex mutex_;
  std::set<uint64_t> uses_;
  bool open_ = false;
  uint64_t calls_ = 0, overlaps_ = 0;
  pid_t pid_ = -1;  // touched on the queue's thread only, and by stop() once the queue is idle
  std::unique_ptr<Channel> channel_;
  Worker queue_;  // last: its thread ends first
};

class Boards {
 public:
  // `lib` is used here for discovery and the version only; boards open in their workers.
  // `preferred`: the default board's key (empty: the first discovered).
  Boards(client::Library& lib, std::vector<std::string> worker_command, std::string preferred,
         EventHub& hub, size_t max_queue);

  // Discovery: [{"number", "key", "open", "default", "uses"}].
  nlohmann::json list();
  // The board of `key` (empty: the default board); throws ApiError 404 for a key not found and
  // 409 when there is no board at all.
  std::shared_ptr<BoardHost> host(const std::string& key);
  std::string library_version();
  // Every board's calls and overlaps, and their sums.
  nlohmann::json status();
  // The job `id` of any board (or of `key`'s) asked to stop.
  Worker::Cancel cancel(uint64_t id, const std::string& key);
  // The jobs of one board (`key`, empty: the default one).
  std::string jobs_json(const std::string& key);
  // Stops every job, then every worker process.
  void cancel_all();
  void stop();

 private:
  std::vector<std::string> discover();  // with mutex_ held
  std::vector<std::shared_ptr<BoardHost>> hosts();

  client::Library& lib_;
  std::vector<std::string> command_;
  std::string preferred_;
  EventHub& hub_;
  size_t max_queue_;
  std::mutex mutex_;  // the library in this process, keys_ and hosts_
  std::vector<std::string> keys_;
  bool discovered_ = false;
  std::map<std::string, std::shared_ptr<BoardHost>> hosts_;
};

}  // namespace server
