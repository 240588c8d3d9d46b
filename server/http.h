// The server's HTTP layer, on libmicrohttpd: a few event-loop threads read every connection as
// its bytes come, so a slow or idle client holds no thread; a request's line and headers are
// bounded in memory, count and time, and its body by its Content-Length, all before anything of
// the application sees it (the gate, then the handler). Handlers answer at once or later from
// any thread (the connection waits suspended, watched for a client that leaves); event streams
// wait the same way between their messages.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;
struct sockaddr;

namespace server::http {

struct Limits {
  size_t max_target = 4096;        // the request's path and query (414 beyond)
  size_t max_header = 8192;        // one header's name and value (431 beyond)
  size_t max_headers = 64;         // headers in one request (431 beyond)
  size_t max_params = 64;          // query parameters (beyond: the connection is closed at once,
                                   // before the HTTP library parses them into its head memory)
  size_t head_memory = 32 * 1024;  // the request line and all headers together (414 or 431)
  unsigned head_deadline_s = 10;   // a request's head complete within this, counted from when
                                   // the connection opened or its previous answer went out
  unsigned idle_timeout_s = 30;    // a connection where no byte moves for this long is closed
  unsigned max_connections = 512;  // beyond: refused at once
  unsigned per_address = 64;       // connections from one client address
  unsigned threads = 4;            // event-loop threads
};

struct Request {
  std::string method;
  std::string path;                                          // %-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string peer;  // the client's address
  bool tls = false;
  std::vector<std::string> matches;  // the route's captured parts

  // The first header of that (lower-case) name; empty when there is none.
  std::string header(const char* name) const;
  bool has_header(const char* name) const;
  size_t count_header(const char* name) const;
  bool has_param(const char* name) const;
  std::string param(const char* name) const;
};

// An endless body, such as an event stream: the connection waits, holding no thread, while the
// stream has nothing to send.
class Stream {
 public:
  virtual ~Stream() = default;
  // Fills `out` with up to `n` bytes: how many; 0 when there is nothing yet (the connection
  // waits for wake()); -1 at the end.
  virtual ssize_t read(char* out, size_t n) = 0;
  // There may be more to read: a waiting connection goes on. Any thread.
  void wake();

 private:
  friend struct Driver;
  std::mutex mutex_;
  MHD_Connection* connection_ = nullptr;  // while the connection is open
  bool waiting_ = false;                  // suspended in read
  bool woken_ = false;                    // a wake() came while read ran
};

struct Response {
  int status = 200;
  std::string type;  // Content-Type
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Or bytes kept alive by `keep` (a capture's samples, sent without a copy), after `body` (a
  // file's header, say) when it is not empty.
  std::shared_ptr<const void> keep;
  const char* data = nullptr;
  size_t size = 0;
  // Or an endless stream.
  std::shared_ptr<Stream> stream;
};

// One request in flight: answered once, from any thread.
class Exchange {
 public:
  explicit Exchange(Request r) : request_(std::move(r)) {}
  const Request& request() const { return request_; }
  void reply(Response r);
  bool replied() const { return replied_; }
  // Whether the client left before its answer (seen while the answer is being made).
  bool gone() const { return gone_; }
  // Runs `f` once, on another thread, if the client leaves before its answer (at once if it
  // has left already).
  void on_gone(std::function<void()> f);

 private:
  friend struct Driver;
  void mark_gone();
  Request request_;
  std::mutex mutex_;
  std::optional<Response> answer_;
  MHD_Connection* connection_ = nullptr;
  int fd_ = -1;
  bool suspended_ = false;
  std::atomic<bool> replied_{false};
  std::atomic<bool> gone_{false};
  std::vector<std::function<void()>> gone_callbacks_;
};

using Handler = std::function<void(const std::shared_ptr<Exchange>&)>;

// What the gate decides once a request's head is in: a refusal, or the handler and the body
// it may have (0: none).
struct Admission {
  std::optional<Response> refusal;
  Handler handler;
  size_t body_limit = 0;
};

class Server {
 public:
  explicit Server(Limits limits);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Decides on each request from its head, its body not read yet; runs on the event loop.
  std::function<Admission(Request&)> gate;
  // The answer to a request refused before the gate (400, 411, 413, 414, 431) and why.
  std::function<Response(int status, const std::string& why)> refusal;

  // Serves on a listening socket (the server owns it from now on). `cert` and `key`: PEM text
  // for HTTPS (both empty: plain HTTP). False with `error` when it cannot start.
  bool start(int listen_fd, const std::string& cert, const std::string& key, std::string& error);
  // Stops accepting and closes every connection; exchanges still waiting are answered 503
  // first.
  void stop();
  bool tls() const { return tls_; }

  struct State;

 private:
  friend struct Driver;
  Limits limits_;
  MHD_Daemon* daemon_ = nullptr;
  bool tls_ = false;
  std::unique_ptr<State> state_;
};

// Binds a TCP socket to `host` (a numeric address or "localhost") and `port` and listens, with
// no SO_REUSEPORT: a port another server listens on is refused, never shared. Returns the
// socket, or -1 with `error` and the errno in `code`; `port` becomes the port bound (the free
// one chosen for 0).
int bind_listener(const std::string& host, int& port, std::string& error, int& code);

// A client's address as text, without its port (the key of the token's throttle).
std::string address_text(const sockaddr* a);

}  // namespace server::http
