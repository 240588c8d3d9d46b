#include "server/serve.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>
#include <vector>

#include "server/assets.h"
#include "server/board.h"
#include "server/captures.h"
#include "server/fields.h"
#include "server/jobs.h"
#include "client/capture_output.h"
#include "client/results.h"

namespace server {

using nlohmann::json;

bool split_listen(const std::string& listen, std::string& host, int& port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = listen.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3) return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  const std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  port = std::atoi(digits.c_str());
  return port <= 65535;
}

bool is_loopback(const std::string& host) {
  // Numbers only: a name that merely begins with "127." may resolve anywhere (or be rebound).
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return host == "localhost";
}

bool same_secret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff = static_cast<unsigned char>(diff | (x ^ y));
  }
  return diff == 0;
}

namespace {

// Bodies: JSON requests are small; patterns and programming files may be large.
constexpr size_t kMaxJsonBody = 64 * 1024;
constexpr size_t kMaxUpload = size_t{64} << 20;
// Event streams at once: each holds one of the server's threads while it is open.
constexpr size_t kMaxStreams = 16;
constexpr int kThreads = 64;
// Requests that wait for the board hold a thread each: fewer than the threads left over by the
// streams, so that a full queue answers 503 and the job list and cancel still get through.
constexpr size_t kMaxQueue = kThreads - kMaxStreams - 16;

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

std::string random_token() {
  unsigned char bytes[16] = {};
  FILE* f = std::fopen("/dev/urandom", "rb");
  const bool ok = f != nullptr && std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
  if (f != nullptr) std::fclose(f);
  if (!ok) return "";
  std::string out;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

void send_json(httplib::Response& res, const json& body, int status = 200) {
  res.status = status;
  // With the charset the type is not one httplib compresses: brotli took ten times as long as
  // the capture itself for a capture's answer with its spectrum.
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

void send_error(httplib::Response& res, const ApiError& e) {
  json body = {{"error", e.message}, {"code", nullptr}, {"meaning", nullptr}};
  if (e.code) {
    body["code"] = *e.code;
    body["meaning"] = VRX5200_Result_Text(*e.code);
  }
  send_json(res, body, e.status);
}

json parse_body(const httplib::Request& req) {
  if (req.body.size() > kMaxJsonBody) throw ApiError{413, "the JSON body is too large", {}};
  if (req.body.empty()) return json::object();
  json j = json::parse(req.body, nullptr, false);
  if (j.is_discarded()) throw ApiError{400, "the body is not valid JSON", {}};
  return j;
}

// Query parameters as a JSON object of numbers, booleans and strings, for the routes that take
// their settings there (the binary pattern upload, the spectrum of a kept capture).
json query_json(const httplib::Request& req, std::initializer_list<const char*> numeric) {
  json j = json::object();
  for (const auto& [name, value] : req.params) {
    if (name == "token") continue;
    bool is_number = false;
    for (const char* n : numeric) is_number = is_number || name == n;
    if (!is_number) {
      j[name] = value;
      continue;
    }
    if (value == "true" || value == "false") {
      j[name] = value == "true";
      continue;
    }
    char* end = nullptr;
    const double x = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0')
      bad_request("query parameter \"" + name + "\" is not a number");
    if (x == std::floor(x) && std::fabs(x) < 9e15) {
      j[name] = static_cast<int64_t>(x);
    } else {
      j[name] = x;
    }
  }
  return j;
}

int register_address(const httplib::Request& req) {
  const int address = std::atoi(req.matches[1].str().c_str());
  if (req.matches[1].length() > 2 || address > 15) bad_request("register addresses are 0 to 15");
  return address;
}

// 16-bit words as the board's little-endian bytes, after `head`.
std::string little_endian(std::string head, const std::vector<uint16_t>& words) {
  const size_t at = head.size();
  head.resize(at + words.size() * 2);
  for (size_t i = 0; i < words.size(); ++i) {
    head[at + 2 * i] = static_cast<char>(words[i] & 0xFF);
    head[at + 2 * i + 1] = static_cast<char>(words[i] >> 8);
  }
  return head;
}

uint64_t id_of(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) throw ApiError{404, "no such id", {}};
  return v;
}

class Server {
 public:
  Server(client::Library& lib, const ServeOptions& o)
      : options_(o), board_(lib, o.simulated, o.board), worker_(events_, kMaxQueue) {}

  int run();

 private:
  void routes();
  bool admit(const httplib::Request& req, httplib::Response& res);
  // Runs a handler body, turning refusals and failures into their JSON answers.
  template <typename F>
  void guarded(httplib::Response& res, F&& f) {
    try {
      f();
    } catch (const ApiError& e) {
      send_error(res, e);
    } catch (const std::exception& e) {
      send_error(res, ApiError{500, std::string("internal error: ") + e.what(), {}});
    }
  }
  void on_board(const std::string& kind, const std::function<void(Job&)>& task,
                bool cancellable = false) {
    worker_.run(kind, task, cancellable);
  }
  void publish_board();
  std::string save_upload(const std::string& body);
  void remove_uploads() {
    if (DIR* d = opendir(upload_dir_.c_str())) {
      while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') unlink((upload_dir_ + "/" + e->d_name).c_str());
      }
      closedir(d);
    }
    rmdir(upload_dir_.c_str());
  }
  std::shared_ptr<Capture> kept_capture(const httplib::Request& req) {
    std::shared_ptr<Capture> c = captures_.find(id_of(req.matches[1]));
    if (!c) throw ApiError{404, "no capture with this id (the last 256 are kept)", {}};
    return c;
  }
  // Registers a route, and remembers its path so that another method on it is a 405.
  void add(const char* method, const char* pattern, httplib::Server::Handler handler) {
    paths_.emplace_back(pattern);
    if (std::strcmp(method, "GET") == 0) http_.Get(pattern, std::move(handler));
    if (std::strcmp(method, "POST") == 0) http_.Post(pattern, std::move(handler));
    if (std::strcmp(method, "PUT") == 0) http_.Put(pattern, std::move(handler));
  }
  bool known_path(const std::string& path) const {
    for (const std::regex& r : paths_) {
      if (std::regex_match(path, r)) return true;
    }
    return false;
  }

  ServeOptions options_;
  EventHub events_;
  Board board_;
  CaptureStore captures_;
  Worker worker_;
  httplib::Server http_;
  std::string host_;
  int port_ = 0;
  std::string upload_dir_;
  std::vector<std::regex> paths_;
};

bool Server::admit(const httplib::Request& req, httplib::Response& res) {
  // A page of another site must not drive the board through the user's browser: no cross-origin
  // requests (and no CORS headers, ever), and on loopback only the names of this machine, so that
  // a rebound DNS name cannot reach the server either.
  const std::string host = req.get_header_value("Host");
  if (is_loopback(host_)) {
    std::string name;
    int port = 0;
    // A browser leaves the port out of Host for port 80.
    const bool parsed =
        split_listen(host, name, port) || (port_ == 80 && split_listen(host + ":80", name, port));
    if (!parsed || !is_loopback(name) || port != port_) {
      send_error(res, ApiError{403, "the Host header does not name this server", {}});
      return false;
    }
  }
  if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) {
    send_error(res, ApiError{403, "cross-origin requests are refused", {}});
    return false;
  }
  // Requests a browser makes for another site's page (images, scripts: no Origin header) say so
  // in Sec-Fetch-Site; only the page's own requests and typed addresses pass.
  const std::string site = req.get_header_value("Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin" && site != "none") {
    send_error(res, ApiError{403, "cross-site requests are refused", {}});
    return false;
  }
  // The page's own files carry no board access: they load without the token, which the page
  // then sends with every API request.
  const bool api = req.path.rfind("/api/", 0) == 0 || req.path == "/api";
  if (!api) return true;
  // httplib limits a body by its Content-Length only: a chunked body could be any size.
  if (req.has_header("Transfer-Encoding")) {
    send_error(res, ApiError{411, "send the body with a Content-Length", {}});
    return false;
  }
  if (options_.token.empty()) return true;
  std::string given;
  const std::string auth = req.get_header_value("Authorization");
  if (auth.size() > 7 && strncasecmp(auth.c_str(), "Bearer ", 7) == 0) {
    given = auth.substr(7);
  } else if (req.has_param("token")) {
    given = req.get_param_value("token");
  }
  if (!same_secret(given, options_.token)) {
    res.set_header("WWW-Authenticate", "Bearer");
    send_error(res, ApiError{401,
                             given.empty() ? "this server needs its token (Authorization: Bearer)"
                                           : "wrong token",
                             {}});
    return false;
  }
  return true;
}

void Server::publish_board() {
  json info = {{"open", board_.is_open()}};
  if (board_.is_open()) {
    try {
      info = board_.info();
    } catch (const ApiError&) {
    }
  }
  events_.publish("board", info.dump());
}

std::string Server::save_upload(const std::string& body) {
  std::string path = upload_dir_ + "/upload-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw ApiError{500, std::string("cannot store the upload: ") + strerror(errno), {}};
  size_t done = 0;
  int error = 0;
  while (done < body.size()) {
    const ssize_t n = write(fd, body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(path.c_str());
    const bool full = error == ENOSPC || error == EFBIG || error == EDQUOT;
    throw ApiError{
        full ? 507 : 500,
        std::string(full ? "no space to store the upload: " : "cannot store the upload: ") +
            strerror(error),
        {}};
  }
  return path;
}

void Server::routes() {
  add("GET", "/api/v1", [this](const httplib::Request&, httplib::Response& res) {
    guarded(res, [&] {
      std::string library;
      on_board("version", [&](Job&) { library = board_.library_version(); });
      send_json(res, {{"api", 1},
                      {"version", options_.version},
                      {"library", library},
                      {"simulated", options_.simulated}});
    });
  });
  add("GET", "/api/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
    const Asset* a = find_asset("/api/v1/openapi.json");
    if (a != nullptr) res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
  });
  add("GET", "/api/v1/status", [this](const httplib::Request&, httplib::Response& res) {
    send_json(res, {{"library_calls", board_.calls()}, {"overlapping_calls", board_.overlaps()}});
  });

  // ---- boards ----
  add("GET", "/api/v1/boards", [this](const httplib::Request&, httplib::Response& res) {
    guarded(res, [&] {
      json list;
      on_board("discover", [&](Job&) { list = board_.discover(); });
      send_json(res, list);
    });
  });
  add("POST", R"(/api/v1/boards/([^/]+)/open)",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          json info;
          on_board("open", [&](Job&) {
            info = board_.open(req.matches[1]);
            publish_board();
          });
          send_json(res, info);
        });
      });
  add("POST", R"(/api/v1/boards/([^/]+)/close)",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          on_board("close", [&](Job&) {
            if (board_.is_open() && board_.key() != req.matches[1].str()) {
              throw ApiError{409, "board \"" + req.matches[1].str() + "\" is not open", {}};
            }
            board_.close();
            publish_board();
          });
          send_json(res, {{"open", false}});
        });
      });
  add("GET", "/api/v1/board", [this](const httplib::Request&, httplib::Response& res) {
    guarded(res, [&] {
      json info;
      on_board("info", [&](Job&) { info = board_.info(); });
      send_json(res, info);
    });
  });

  // ---- registers ----
  add("GET", R"(/api/v1/registers/(\d+))",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          const int address = register_address(req);
          json out;
          on_board("register", [&](Job&) { out = board_.read_register(address); });
          send_json(res, out);
        });
      });
  add("PUT", R"(/api/v1/registers/(\d+))",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          const int address = register_address(req);
          const json body = parse_body(req);
          require_object(body, {"value"});
          if (!body.contains("value")) bad_request("give the value: {\"value\": 0..255}");
          const int value = static_cast<int>(int_field(body, "value", 0, 0, 255));
          json out;
          on_board("register", [&](Job&) { out = board_.write_register(address, value); });
          send_json(res, out);
        });
      });

  // ---- capture ----
  add("POST", "/api/v1/capture", [this](const httplib::Request& req, httplib::Response& res) {
    guarded(res, [&] {
      const auto started = std::chrono::steady_clock::now();
      const json body = parse_body(req);
      const CaptureRequest r = CaptureRequest::from_json(body);
      const AnalysisOptions a = AnalysisOptions::from_json(body);
      std::vector<uint16_t> samples;
      on_board(
          "capture", [&](Job& job) { board_.capture(r, samples, job); }, true);
      auto capture = captures_.add(std::move(samples), r.offset_binary, r.sample_rate());
      json out = analyse(*capture, a);
      out["id"] = capture->id;
      out["samples"] = capture->samples.size();
      out["rate_hz"] = capture->rate_hz;
      out["offset_binary"] = capture->offset_binary;
      out["elapsed_ms"] =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
              .count();
      send_json(res, out);
    });
  });
  add("GET", "/api/v1/captures", [this](const httplib::Request&, httplib::Response& res) {
    send_json(res, captures_.list());
  });
  add("GET", R"(/api/v1/captures/(\d+))",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          const std::shared_ptr<Capture> c = kept_capture(req);
          const std::string format =
              req.has_param("format") ? req.get_param_value("format") : "raw";
          if (format != "raw" && format != "npy") {
            bad_request("\"format\" must be raw or npy");
          }
          std::string bytes = little_endian(
              format == "npy" ? client::npy_header(c->offset_binary, c->samples.size()) : "",
              c->samples);
          res.set_header("Content-Disposition", "attachment; filename=\"capture-" +
                                                    std::to_string(c->id) +
                                                    (format == "npy" ? ".npy\"" : ".bin\""));
          res.set_content(std::move(bytes), "application/octet-stream");
        });
      });
  add("GET", R"(/api/v1/captures/(\d+)/spectrum)",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          const std::shared_ptr<Capture> c = kept_capture(req);
          json q = query_json(req, {"points", "harmonics"});
          if (!q.contains("points")) q["points"] = 2048;
          q["spectrum"] = q["points"];
          q.erase("points");
          // The spectrum object itself, with the figures beside its arrays.
          json analysis = analyse(*c, AnalysisOptions::from_json(q));
          json out = analysis.contains("spectrum") ? analysis["spectrum"] : json::object();
          out["metrics"] = analysis["metrics"];
          out["summary"] = analysis["summary"];
          out["id"] = c->id;
          send_json(res, out);
        });
      });

  // ---- playback ----
  add("POST", "/api/v1/play", [this](const httplib::Request& req, httplib::Response& res) {
    guarded(res, [&] {
      PlayRequest p;
      const std::string type = req.get_header_value("Content-Type");
      if (type.substr(0, type.find(';')) == "application/octet-stream") {
        const json q = query_json(req, {"rate", "rate_factor_1", "rate_factor_2", "rate_divisor",
                                        "control_byte_1", "control_byte_2", "start_offset"});
        require_object(q, {"rate", "rate_factor_1", "rate_factor_2", "rate_divisor",
                           "control_byte_1", "control_byte_2", "start_offset", "loopback"});
        json session = q;
        if (q.contains("loopback"))
          session["loopback"] = q["loopback"] == "1" || q["loopback"] == "true";
        p.session_from_json(session);
        if (req.body.size() % 2 != 0) bad_request("a pattern is whole 16-bit words");
        p.words.resize(req.body.size() / 2);
        for (size_t i = 0; i < p.words.size(); ++i) {
          p.words[i] = static_cast<uint16_t>(static_cast<uint8_t>(req.body[2 * i]) |
                                             static_cast<uint8_t>(req.body[2 * i + 1]) << 8);
        }
      } else {
        p.generate(parse_body(req));
      }
      json out;
      on_board(
          "play", [&](Job& job) { out = board_.play(p, job); }, true);
      send_json(res, out);
    });
  });

  // ---- FPGA ----
  add("POST", "/api/v1/fpga", [this](const httplib::Request& req, httplib::Response& res) {
    guarded(res, [&] {
      if (req.body.empty()) bad_request("send the programming file as the body");
      const std::string path = save_upload(req.body);
      std::vector<std::string> transcript;
      int32_t result = 0;
      try {
        // One library call: it runs to its end once started (it can be cancelled while it waits).
        on_board("fpga", [&](Job& job) { result = board_.load_fpga(path, transcript, job); });
      } catch (...) {
        unlink(path.c_str());
        throw;
      }
      unlink(path.c_str());
      json out = {{"result", result}, {"transcript", transcript}};
      if (result != 20) {
        out["error"] = "the FPGA configuration failed";
        out["code"] = result;
        out["meaning"] = VRX5200_Result_Text(result);
      }
      send_json(res, out, result == 20 ? 200 : 502);
    });
  });

  // ---- jobs and events ----
  add("GET", "/api/v1/jobs", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(worker_.jobs_json(), "application/json; charset=utf-8");
  });
  add("POST", R"(/api/v1/jobs/(\d+)/cancel)",
      [this](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
          const uint64_t id = id_of(req.matches[1]);
          switch (worker_.cancel(id)) {
            case Worker::Cancel::kNoSuchJob:
              throw ApiError{404, "no queued or running job " + req.matches[1].str(), {}};
            case Worker::Cancel::kRunsToItsEnd:
              throw ApiError{409, "this job runs to its end once started (one library call)", {}};
            case Worker::Cancel::kAsked:
              break;
          }
          send_json(res, {{"id", id}, {"cancelled", true}});
        });
      });
  add("GET", "/api/v1/events", [this](const httplib::Request&, httplib::Response& res) {
    auto subscriber = events_.subscribe(kMaxStreams);
    if (!subscriber) {
      send_error(res, ApiError{503, "too many event streams are open", {}});
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, subscriber, first = true](size_t, httplib::DataSink& sink) mutable {
          if (first) {
            first = false;
            const std::string hello = "retry: 2000\nevent: hello\ndata: {}\n\n";
            return sink.write(hello.data(), hello.size());
          }
          std::string out;
          const bool open = events_.take(subscriber, out, 5000);
          if (!open) return false;
          // A comment now and then finds a client that has gone away.
          if (out.empty()) out = ": keep-alive\n\n";
          return sink.write(out.data(), out.size());
        },
        [this, subscriber](bool) { events_.unsubscribe(subscriber); });
  });

  // ---- the simulated board ----
  add("POST", "/api/v1/sim", [this](const httplib::Request& req, httplib::Response& res) {
    guarded(res, [&] {
      const json body = parse_body(req);
      on_board("sim", [&](Job&) { board_.sim_control(body); });
      send_json(res, {{"ok", true}});
    });
  });
  add("GET", "/api/v1/sim/playback", [this](const httplib::Request& req, httplib::Response& res) {
    guarded(res, [&] {
      const json q = query_json(req, {"first", "count"});
      require_object(q, {"first", "count"});
      const auto first = static_cast<uint32_t>(int_field(q, "first", 0, 0, 1 << 29));
      const auto count = static_cast<uint32_t>(int_field(q, "count", 65536, 1, 1 << 24));
      std::vector<uint16_t> words;
      on_board("sim", [&](Job&) { words = board_.sim_playback(first, count); });
      res.set_content(little_endian("", words), "application/octet-stream");
    });
  });

  // ---- the front panel ----
  auto page = [](const httplib::Request& req, httplib::Response& res) {
    const Asset* a = find_asset(req.path == "/" ? "/panel/index.html" : req.path.c_str());
    if (a == nullptr) {
      send_error(res, ApiError{404, "no such page", {}});
      return;
    }
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data: blob:; style-src 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
  };
  add("GET", "/", page);
  add("GET", R"(/panel/[A-Za-z0-9_.-]+)", page);
}

int Server::run() {
  if (!split_listen(options_.listen, host_, port_)) {
    std::fprintf(stderr, "vrx5200: bad listen address \"%s\" (ADDR:PORT, [ADDR]:PORT for IPv6)\n",
                 options_.listen.c_str());
    return 2;
  }
  const bool made_token = !is_loopback(host_) && options_.token.empty();
  if (made_token) {
    // Anyone on the network could drive the board: never without a token there.
    options_.token = random_token();
    if (options_.token.empty()) {
      std::fprintf(stderr, "vrx5200: cannot make a token; give one with --token\n");
      return 1;
    }
  }
  // The server's own directory for uploads, removed when it stops.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = !options_.upload_dir.empty()     ? options_.upload_dir
                     : tmp != nullptr && *tmp != '\0' ? tmp
                                                      : "/tmp";
  std::string dir = base + "/vrx5200-serve-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::fprintf(stderr, "vrx5200: cannot make the upload directory in \"%s\": %s\n", base.c_str(),
                 strerror(errno));
    return client::kExitFile;
  }
  upload_dir_ = dir;

  // SIGINT and SIGTERM are taken by one thread (blocked in all others, which inherit the mask),
  // which stops the server outside any signal handler. A client gone away must not kill the
  // server (SIGPIPE), nor an upload past a file-size limit (SIGXFSZ: the write fails instead).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  const sigset_t stop_signals = stop_signal_set();

  http_.set_payload_max_length(kMaxUpload);
  // A script or a page makes many small requests on one connection.
  http_.set_keep_alive_max_count(1000);
  // Small answers go out at once: without TCP_NODELAY a reply's body can wait for the client's
  // delayed acknowledgement of its headers (tens of milliseconds).
  http_.set_tcp_nodelay(true);
  http_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
                           : httplib::Server::HandlerResponse::Handled;
  });
  http_.set_error_handler([this](const httplib::Request& req, httplib::Response& res) {
    // httplib's own refusals (no route, a body past the limit) answer in JSON too.
    if (!res.body.empty()) return;
    if (res.status == 404 && known_path(req.path)) res.status = 405;
    // httplib refuses a POST or PUT that states no body length before any route sees it.
    const bool no_length = res.status == 400 && (req.method == "POST" || req.method == "PUT") &&
                           !req.has_header("Content-Length") &&
                           !req.has_header("Transfer-Encoding");
    if (no_length) res.status = 411;
    const char* message = no_length ? "a POST or PUT needs a Content-Length header (0 for no body)"
                          : res.status == 404 ? "no such route"
                          : res.status == 413 ? "the body is too large"
                          : res.status == 405 ? "method not allowed"
                                              : "bad request";
    send_error(res, ApiError{res.status, message, {}});
  });
  routes();

  const int port =
      port_ == 0 ? http_.bind_to_any_port(host_) : (http_.bind_to_port(host_, port_) ? port_ : -1);
  if (port < 0) {
    std::fprintf(stderr, "vrx5200: cannot listen on %s: %s\n", options_.listen.c_str(),
                 strerror(errno));
    rmdir(upload_dir_.c_str());
    return 1;
  }
  port_ = port;
  // A token the server made is told, once; a token given is the user's own already.
  if (made_token) std::printf("vrx5200: token %s\n", options_.token.c_str());
  const bool v6 = host_.find(':') != std::string::npos;
  std::printf("vrx5200: listening on http://%s%s%s:%d/\n", v6 ? "[" : "", host_.c_str(),
              v6 ? "]" : "", port_);
  std::fflush(stdout);

  std::thread stopper([this, stop_signals] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    worker_.cancel_all();
    events_.close();
    http_.stop();
  });
  http_.listen_after_bind();
  // listen ended (stopped, or failed): wake the stopper if it still waits.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  // A job that cannot be stopped (an FPGA load) gets a few seconds to end; then the server
  // leaves without it rather than keep its user waiting.
  if (!worker_.wait_idle(5000)) {
    std::fprintf(stderr, "vrx5200: stopping while the board is still busy\n");
    remove_uploads();
    std::fflush(nullptr);
    std::_Exit(0);
  }
  on_board("close", [this](Job&) { board_.close(); });
  remove_uploads();
  return 0;
}

}  // namespace

int serve(client::Library& lib, const ServeOptions& options) {
  // The FPGA transcript borrows descriptors 1 and 2 for its call: they must not be a socket's.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);  // filled the lowest free descriptor
    }
  }
  // Blocked before the first thread starts (the worker's), so that every thread inherits it.
  const sigset_t stop_signals = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  Server server(lib, options);
  return server.run();
}

}  // namespace server
