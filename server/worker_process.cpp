#include "server/worker_process.h"

#include <signal.h>

#include <cstring>

#include "server/board.h"
#include "server/channel.h"
#include "server/jobs.h"

namespace server {
namespace {

using nlohmann::json;

// Events go to the server, which hands them to its streams.
class ChannelPublisher : public Publisher {
 public:
  explicit ChannelPublisher(Channel& c) : channel_(c) {}
  void send(const std::string& type, const std::string& data, const std::string&) override {
    channel_.send(Message::kEvent, {{"type", type}, {"data", data}});
  }

 private:
  Channel& channel_;
};

std::string bytes_of(const std::vector<uint16_t>& words) {
  return std::string(reinterpret_cast<const char*>(words.data()), words.size() * 2);
}

class Runner {
 public:
  Runner(client::Library& lib, bool simulated, int fd, const std::string& key)
      : channel_(fd), events_(channel_), board_(lib, simulated, key), key_(key) {}

  int run() {
    Frame f;
    while (channel_.receive(f)) {
      if (f.kind != Message::kJob) continue;  // a cancel that came after its job ended
      run_job(f);
      if (lost_) break;
    }
    board_.close();
    return 0;
  }

 private:
  void publish_board() {
    json info = {{"open", board_.is_open()}, {"key", key_}};
    if (board_.is_open()) {
      try {
        info = board_.info();
      } catch (const ApiError&) {
      }
    }
    events_.publish("board", info.dump());
  }

  void run_job(const Frame& f) {
    Job job;
    job.id = f.head.value("id", uint64_t{0});
    job.kind = f.head.value("op", std::string());
    job.cancellable = true;
    job.events = &events_;
    job.poll_cancel = [this](Job& j) {
      while (channel_.readable(0)) {
        Frame c;
        if (!channel_.receive(c)) {
          lost_ = true;  // the server has gone: stop here
          j.cancel = true;
          return;
        }
        if (c.kind == Message::kCancel && c.head.value("id", uint64_t{0}) == j.id) j.cancel = true;
      }
    };
    json done = {{"id", job.id}};
    std::string out;
    try {
      done["result"] = perform(job, f, out);
      done["ok"] = true;
    } catch (const ApiError& e) {
      done["ok"] = false;
      done["status"] = e.status;
      done["error"] = e.message;
      if (e.code) done["code"] = *e.code;
      out.clear();
    } catch (const std::exception& e) {
      done["ok"] = false;
      done["status"] = 500;
      done["error"] = std::string("internal error: ") + e.what();
      out.clear();
    }
    done["calls"] = board_.calls();
    done["overlaps"] = board_.overlaps();
    done["open"] = board_.is_open();
    if (!channel_.send(Message::kDone, done, out.data(), out.size())) lost_ = true;
  }

  json perform(Job& job, const Frame& f, std::string& out) {
    const json& h = f.head;
    const std::string& op = job.kind;
    if (op == "version") return board_.library_version();
    if (op == "info") return board_.info();
    if (op == "open") {
      json info = board_.open(key_);
      publish_board();
      return info;
    }
    if (op == "close") {
      board_.close();
      publish_board();
      return {{"open", false}};
    }
    if (op == "read_register") return board_.read_register(h.at("address").get<int>());
    if (op == "write_register") {
      return board_.write_register(h.at("address").get<int>(), h.at("value").get<int>());
    }
    if (op == "capture") {
      const CaptureRequest r = CaptureRequest::from_json(h.at("request"));
      std::vector<uint16_t> samples;
      board_.capture(r, samples, job);
      out = bytes_of(samples);
      // The board's identity, for the capture's description (a recording's metadata).
      return {{"samples", samples.size()},
              {"family_id", board_.family_id()},
              {"firmware_version", board_.firmware_version()}};
    }
    if (op == "play") {
      PlayRequest p;
      if (h.contains("generate")) {
        p.generate(h.at("generate"));
      } else {
        p.words.resize(f.data.size() / 2);
        std::memcpy(p.words.data(), f.data.data(), p.words.size() * 2);
      }
      p.session_from_json(h.at("session"));
      return board_.play(p, job);
    }
    if (op == "fpga") {
      std::vector<std::string> transcript;
      const int32_t result = board_.load_fpga(h.at("path").get<std::string>(), transcript, job);
      return {{"result", result}, {"transcript", transcript}};
    }
    if (op == "sim") {
      board_.sim_control(h.at("settings"));
      return {{"ok", true}};
    }
    if (op == "sim_playback") {
      out = bytes_of(
          board_.sim_playback(h.at("first").get<uint32_t>(), h.at("count").get<uint32_t>()));
      return {{"words", out.size() / 2}};
    }
    throw ApiError{500, "unknown operation \"" + op + "\"", std::nullopt};
  }

  Channel channel_;
  ChannelPublisher events_;
  Board board_;
  std::string key_;
  bool lost_ = false;
};

}  // namespace

int serve_worker(client::Library& lib, bool simulated, int fd, const std::string& key) {
  // The server stops its workers by closing their channels: a Ctrl-C for the whole process
  // group is the server's to handle, and a server gone away must not kill a worker mid-call.
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  Runner runner(lib, simulated, fd, key);
  return runner.run();
}

}  // namespace server
