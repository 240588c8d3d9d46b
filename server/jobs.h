// The server's shared machinery: the event hub that feeds every Server-Sent Events stream, and
// the job queue of a board, whose one thread hands the board's jobs one at a time to the board's
// worker process (the library keeps one board's state in globals and is not reentrant: its calls
// must never overlap).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace server {

// A refusal or failure as the client sees it: the HTTP status, a sentence, and the library's
// result code when the library said no.
struct ApiError {
  int status;
  std::string message;
  std::optional<int32_t> code;
};

// Where a job's events go: the event hub in the server, the channel to the server in a board's
// worker process.
class Publisher {
 public:
  virtual ~Publisher() = default;
  // An event of `board` (empty: of none in particular).
  virtual void send(const std::string& type, const std::string& json, const std::string& board) = 0;
  void publish(const std::string& type, const std::string& json) { send(type, json, ""); }
};

// Fans events out to every open stream. A subscriber that falls far behind loses its oldest
// events rather than holding memory or the publisher back.
class EventHub : public Publisher {
 public:
  struct Subscriber {
    std::string board;                // only this board's events (empty: every board's)
    std::deque<std::string> pending;  // formatted "event: ...\ndata: ...\n\n" messages
    std::function<void()> wake;       // told when a message comes
  };

  // A new stream; null when `limit` streams are open already.
  std::shared_ptr<Subscriber> subscribe(size_t limit, std::string board = "",
                                        std::function<void()> wake = nullptr);
  void unsubscribe(const std::shared_ptr<Subscriber>& s);
  // An event for every stream (`board` empty) or for the streams of every board and of `board`.
  void send(const std::string& type, const std::string& json, const std::string& board) override;
  // Moves the messages waiting out; false once the hub is closed.
  bool take(const std::shared_ptr<Subscriber>& s, std::string& out);
  // Waits up to `wait_ms` for messages; moves them out. False once the hub is closed.
  bool take(const std::shared_ptr<Subscriber>& s, std::string& out, int wait_ms);
  // Wakes every stream (for a keep-alive, or after close()).
  void wake_all();
  void close();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Subscriber>> subscribers_;
  bool closed_ = false;
};

enum class JobState { kQueued, kRunning, kDone, kFailed, kCancelled };
const char* state_name(JobState s);

struct Job {
  uint64_t id = 0;
  std::string kind;
  std::atomic<bool> cancel{false};
  std::atomic<double> progress{0};
  bool cancellable = false;
  JobState state = JobState::kQueued;  // guarded by the worker's mutex
  std::function<void(Job&)> task;
  std::exception_ptr error;
  std::function<void(std::exception_ptr)> finish;  // told how the job ended, on the queue's thread
  Publisher* events = nullptr;
  // Looks for a cancel that came from elsewhere (the server, for a worker process's job).
  std::function<void(Job&)> poll_cancel;

  // Reports progress (0 to 1) to the event streams, at most every 50 ms and at the end.
  void report(double fraction);
  // Between blocks: ends the job with 409 when a client asked for it to stop.
  void check_cancel();

 private:
  int64_t last_report_ms_ = -1;
};

class Worker {
 public:
  // `board`: the board whose jobs these are, named in their events.
  Worker(Publisher& events, size_t max_queue, std::string board = "");
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues `task` to run after the jobs before it; `finish` is then told how it ended (null:
  // done; ApiError 409 "cancelled" when it was cancelled), on the worker's thread. Returns the
  // job's id. Throws ApiError 503 when the queue is full.
  // `cancellable`: the job may be stopped while it runs (between its blocks); any job may be
  // cancelled while it waits.
  uint64_t submit(const std::string& kind, std::function<void(Job&)> task, bool cancellable,
                  std::function<void(std::exception_ptr)> finish);
  // The same, waiting for its end: rethrows what it threw.
  void run(const std::string& kind, std::function<void(Job&)> task, bool cancellable = false);
  enum class Cancel { kNoSuchJob, kAsked, kRunsToItsEnd };
  // Asks a queued job, or a running cancellable one, to stop.
  Cancel cancel(uint64_t id);
  // Waits up to `ms` for the running job to end; true when none runs.
  bool wait_idle(int ms);
  // Cancels every queued and running job (the server is stopping).
  void cancel_all();
  // The queued and running jobs, as a JSON array.
  std::string jobs_json();

 private:
  void loop();
  void publish(const nlohmann::json& job);
  // Job ids are unique among every board's queue: a cancel names its job alone.
  static uint64_t next_id();

  Publisher& events_;
  size_t max_queue_;
  std::string board_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::shared_ptr<Job> running_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace server
