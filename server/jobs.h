// The server's two pieces of shared machinery: the event hub that feeds every Server-Sent Events
// stream, and the worker, the one thread that makes every call into the control library (the
// library keeps one board's state in globals and is not reentrant: calls must never overlap).
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

namespace server {

// A refusal or failure as the client sees it: the HTTP status, a sentence, and the library's
// result code when the library said no.
struct ApiError {
  int status;
  std::string message;
  std::optional<int32_t> code;
};

// Fans events out to every open stream. A subscriber that falls far behind loses its oldest
// events rather than holding memory or the publisher back.
class EventHub {
 public:
  struct Subscriber {
    std::deque<std::string> pending;  // formatted "event: ...\ndata: ...\n\n" messages
  };

  // A new stream; null when `limit` streams are open already (each holds a server thread).
  std::shared_ptr<Subscriber> subscribe(size_t limit);
  void unsubscribe(const std::shared_ptr<Subscriber>& s);
  void publish(const std::string& type, const std::string& json);
  // Waits up to `wait_ms` for messages; moves them out. False once the hub is closed.
  bool take(const std::shared_ptr<Subscriber>& s, std::string& out, int wait_ms);
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
  bool finished = false;
  std::condition_variable done;
  EventHub* events = nullptr;

  // Reports progress (0 to 1) to the event streams, at most every 50 ms and at the end.
  void report(double fraction);
  // Between blocks: ends the job with 409 when a client asked for it to stop.
  void check_cancel() const;

 private:
  int64_t last_report_ms_ = -1;
};

class Worker {
 public:
  Worker(EventHub& events, size_t max_queue);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `task` on the worker after the jobs before it and waits for its end; rethrows what it
  // threw. Throws ApiError 503 when the queue is full and 409 when the job was cancelled before
  // it ran.
  // `cancellable`: the job may be stopped while it runs (between its blocks); any job may be
  // cancelled while it waits.
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
  void publish(const Job& job);

  EventHub& events_;
  size_t max_queue_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::shared_ptr<Job> running_;
  uint64_t next_id_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace server
