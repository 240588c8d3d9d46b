#include "server/jobs.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "server/clock.h"

namespace server {
namespace {

// A stream that has not taken its events for this many is dropped to its newest ones.
constexpr size_t kMaxPending = 1024;

nlohmann::json job_json(const Job& job) {
  return {{"id", job.id},
          {"kind", job.kind},
          {"state", state_name(job.state)},
          {"progress", job.progress.load()}};
}

}  // namespace

// ---- events ----

std::shared_ptr<EventHub::Subscriber> EventHub::subscribe(size_t limit, std::string board,
                                                          std::function<void()> wake) {
  auto s = std::make_shared<Subscriber>();
  s->board = std::move(board);
  s->wake = std::move(wake);
  std::lock_guard<std::mutex> lock(mutex_);
  if (subscribers_.size() >= limit) return nullptr;
  subscribers_.push_back(s);
  return s;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscriber>& s) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), s), subscribers_.end());
}

void EventHub::send(const std::string& type, const std::string& json, const std::string& board) {
  const std::string message = "event: " + type + "\ndata: " + json + "\n\n";
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : subscribers_) {
      if (!board.empty() && !s->board.empty() && s->board != board) continue;
      if (s->pending.size() >= kMaxPending) s->pending.pop_front();
      s->pending.push_back(message);
      if (s->wake) wakes.push_back(s->wake);
    }
  }
  changed_.notify_all();
  for (auto& w : wakes) w();
}

bool EventHub::take(const std::shared_ptr<Subscriber>& s, std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  while (!s->pending.empty()) {
    out += s->pending.front();
    s->pending.pop_front();
  }
  return !closed_;
}

bool EventHub::take(const std::shared_ptr<Subscriber>& s, std::string& out, int wait_ms) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                      [&] { return closed_ || !s->pending.empty(); });
  }
  return take(s, out);
}

void EventHub::wake_all() {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : subscribers_) {
      if (s->wake) wakes.push_back(s->wake);
    }
  }
  changed_.notify_all();
  for (auto& w : wakes) w();
}

void EventHub::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  wake_all();
}

// ---- jobs ----

const char* state_name(JobState s) {
  switch (s) {
    case JobState::kQueued:
      return "queued";
    case JobState::kRunning:
      return "running";
    case JobState::kDone:
      return "done";
    case JobState::kFailed:
      return "failed";
    case JobState::kCancelled:
      return "cancelled";
  }
  return "unknown";
}

void Job::report(double fraction) {
  progress = fraction;
  const int64_t now = now_ms();
  if (fraction < 1 && last_report_ms_ >= 0 && now - last_report_ms_ < 50) return;
  last_report_ms_ = now;
  if (events != nullptr) {
    nlohmann::json j = job_json(*this);
    j["state"] = "running";  // read on the worker, which is the only writer while it runs
    events->publish("job", j.dump());
  }
}

void Job::check_cancel() {
  if (poll_cancel) poll_cancel(*this);
  if (cancel) throw ApiError{409, "cancelled", std::nullopt};
}

Worker::Worker(Publisher& events, size_t max_queue, std::string board)
    : events_(events),
      max_queue_(max_queue),
      board_(std::move(board)),
      thread_([this] { loop(); }) {}

Worker::~Worker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Worker::publish(const nlohmann::json& job) {
  nlohmann::json event = job;
  if (!board_.empty()) event["board"] = board_;
  events_.send("job", event.dump(), board_);
}

uint64_t Worker::next_id() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

uint64_t Worker::submit(const std::string& kind, std::function<void(Job&)> task, bool cancellable,
                        std::function<void(std::exception_ptr)> finish) {
  auto job = std::make_shared<Job>();
  job->kind = kind;
  job->cancellable = cancellable;
  job->task = std::move(task);
  job->finish = std::move(finish);
  job->events = &events_;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) throw ApiError{503, "the server is stopping", std::nullopt};
  if (queue_.size() >= max_queue_) {
    throw ApiError{503, "too many requests are waiting for the board; try again", std::nullopt};
  }
  job->id = next_id();
  queue_.push_back(job);
  publish(job_json(*job));
  wake_.notify_all();
  return job->id;
}

void Worker::run(const std::string& kind, std::function<void(Job&)> task, bool cancellable) {
  std::mutex m;
  std::condition_variable cv;
  bool ended = false;
  std::exception_ptr error;
  submit(kind, std::move(task), cancellable, [&](std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(m);
    error = e;
    ended = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return ended; });
  if (error) std::rethrow_exception(error);
}

Worker::Cancel Worker::cancel(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && running_->id == id) {
    if (!running_->cancellable) return Cancel::kRunsToItsEnd;
    running_->cancel = true;
    return Cancel::kAsked;
  }
  for (auto& job : queue_) {
    if (job->id == id) {
      job->cancel = true;
      return Cancel::kAsked;
    }
  }
  return Cancel::kNoSuchJob;
}

bool Worker::wait_idle(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !running_; });
}

void Worker::cancel_all() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && running_->cancellable) running_->cancel = true;
  for (auto& job : queue_) job->cancel = true;
}

std::string Worker::jobs_json() {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json list = nlohmann::json::array();
  if (running_) list.push_back(job_json(*running_));
  for (auto& job : queue_) list.push_back(job_json(*job));
  return list.dump();
}

void Worker::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left to answer
    std::shared_ptr<Job> job = queue_.front();
    queue_.pop_front();
    if (job->cancel) {
      // Cancelled while it waited: it never runs.
      job->state = JobState::kCancelled;
      job->error = std::make_exception_ptr(ApiError{409, "cancelled", std::nullopt});
      publish(job_json(*job));
      lock.unlock();
      if (job->finish) job->finish(job->error);
      lock.lock();
      continue;
    }
    running_ = job;
    job->state = JobState::kRunning;
    publish(job_json(*job));
    lock.unlock();
    try {
      job->check_cancel();
      job->task(*job);
      // A cancel that came after the last block still ends the job as cancelled: its client was
      // told so.
      job->check_cancel();
    } catch (const ApiError& e) {
      job->error = std::current_exception();
      if (e.status == 409 && e.message == "cancelled") job->state = JobState::kCancelled;
    } catch (...) {
      job->error = std::current_exception();
    }
    lock.lock();
    if (job->state == JobState::kRunning) {
      job->state = job->error ? JobState::kFailed : JobState::kDone;
    }
    if (job->state == JobState::kDone) job->progress = 1;
    running_.reset();
    nlohmann::json event = job_json(*job);
    if (job->error) {
      // Every failure reaches the event streams too, so that a page sees what another client hit.
      try {
        std::rethrow_exception(job->error);
      } catch (const ApiError& e) {
        event["error"] = e.message;
        if (e.code) event["code"] = *e.code;
      } catch (const std::exception& e) {
        event["error"] = e.what();
      } catch (...) {
        event["error"] = "unknown failure";
      }
    }
    publish(event);
    lock.unlock();
    // Told outside the lock: `finish` may queue the board's next job.
    if (job->finish) job->finish(job->error);
    lock.lock();
    idle_.notify_all();
  }
}

}  // namespace server
