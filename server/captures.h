// Captures the server keeps for download, and their figures. Analyses run off the boards' queues
// (a board is free for its next capture while this one is measured), on a few threads of their
// own, within a memory budget: a queue of bounded length, work for a client that has left
// dropped before it starts.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace server {

struct Capture {
  uint64_t id = 0;
  std::string board;  // the key of the board it came from
  std::vector<uint16_t> samples;
  bool offset_binary = false;
  double rate_hz = 0;         // 0: unknown (an uneven lane list)
  bool evenly_spaced = true;  // false: an uneven lane list, every spectral figure withheld
  int family_id = -1, firmware_version = -1;  // of the board (-1: unknown)
  int64_t taken_ms = 0;                       // when it was kept, in ms since 1970
};

struct AnalysisOptions {
  int32_t window = 2;  // VRX5200_WINDOW_BLACKMAN_HARRIS_4
  int32_t harmonics = 5;
  int32_t spectrum_points = 0;  // 0: no spectrum in the answer

  // "window", "harmonics" and "spectrum" of a request (JSON body or query turned JSON).
  static AnalysisOptions from_json(const nlohmann::json& j);
};

// The summary, the single-tone figures (null when the record cannot be measured) and, when asked,
// the spectrum reduced to at most `spectrum_points` points (each the highest bin of its span).
nlohmann::json analyse(const Capture& c, const AnalysisOptions& o);

// What analysing n samples takes at most, in bytes.
size_t analysis_cost(uint64_t n);

// The capture as a SigMF archive (client/sigmf.h) named capture-ID, its figures those of
// analyse() with the default options; `recorder`: the server and its version.
std::string sigmf_archive_of(const Capture& c, const std::string& recorder);

// Runs analyses a few at a time, as many as fit in a memory budget at once (one alone when it is
// larger), the others waiting in a queue of bounded length.
class Analyses {
 public:
  explicit Analyses(size_t threads = 2, size_t budget = size_t{1280} << 20, size_t queue = 32);
  ~Analyses();
  Analyses(const Analyses&) = delete;
  Analyses& operator=(const Analyses&) = delete;

  // Queues `task` (taking `cost` bytes); it runs unless `dropped` says, when its turn comes, that
  // it is no longer wanted (then `drop` runs instead). Throws ApiError 503 when the queue is
  // full.
  void submit(size_t cost, std::function<void()> task, std::function<bool()> dropped,
              std::function<void()> drop);

 private:
  struct Task {
    size_t cost;
    std::function<void()> run, drop;
    std::function<bool()> dropped;
  };
  void loop();
  size_t budget_, max_queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> queue_;
  size_t in_use_ = 0;
  size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The last 256 captures, up to 512 MiB of samples; the oldest go first. Enough for many clients
// at once to fetch their own samples after their capture.
class CaptureStore {
 public:
  // Keeps `c` (its samples moved in), giving it its id and time.
  std::shared_ptr<Capture> add(Capture c);
  // The capture `id` of `board` (empty: of any board).
  std::shared_ptr<Capture> find(uint64_t id, const std::string& board);
  // The captures of `board` (empty: of every board).
  nlohmann::json list(const std::string& board);

 private:
  std::mutex mutex_;
  std::deque<std::shared_ptr<Capture>> captures_;
  uint64_t next_id_ = 1;
  size_t bytes_ = 0;
};

}  // namespace server
