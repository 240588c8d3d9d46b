#include "server/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>

#include "server/clock.h"

namespace server::http {

std::string address_text(const sockaddr* a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a == nullptr) return "";
  if (a->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
  } else if (a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
  }
  return text;
}

// ---- requests ----

std::string Request::header(const char* name) const {
  for (const auto& [n, v] : headers) {
    if (n == name) return v;
  }
  return "";
}

bool Request::has_header(const char* name) const {
  return count_header(name) > 0;
}

size_t Request::count_header(const char* name) const {
  size_t n = 0;
  for (const auto& h : headers) n += h.first == name ? 1 : 0;
  return n;
}

bool Request::has_param(const char* name) const {
  for (const auto& q : query) {
    if (q.first == name) return true;
  }
  return false;
}

std::string Request::param(const char* name) const {
  for (const auto& [n, v] : query) {
    if (n == name) return v;
  }
  return "";
}

// ---- the state the event loop and the watcher share ----

// A connection, from when it opens to when it closes: whether a request is being taken, and
// since when it waits for the next one.
struct Connection {
  int fd = -1;
  bool in_request = false;
  int64_t waiting_since_ms = 0;
  bool cut = false;
};

struct Server::State {
  Server* server = nullptr;
  Limits limits;
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  std::set<Connection*> connections;
  std::set<std::shared_ptr<Exchange>> waiting;  // suspended until answered
  std::set<std::shared_ptr<Stream>> streams;    // open event streams
  std::thread watcher;
};

// One request, from its head to its end (MHD's per-request pointer).
struct Pending {
  std::shared_ptr<Exchange> exchange;
  Handler handler;
  size_t body_limit = 0;
  bool answered = false;  // a response is queued (a refusal, or the handler's)
  bool dispatched = false;
  std::shared_ptr<Stream> stream;
};

struct Driver {
  static Server::State& state(void* cls) { return *static_cast<Server::State*>(cls); }

  static MHD_Result queue(MHD_Connection* c, Response& r, Pending& p, Server::State& s) {
    MHD_Response* m = nullptr;
    if (r.stream) {
      auto* box = new std::shared_ptr<Stream>(r.stream);
      m = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &read_stream, box,
                                            &free_stream);
      {
        std::lock_guard<std::mutex> lock(r.stream->mutex_);
        r.stream->connection_ = c;
      }
      p.stream = r.stream;
      std::lock_guard<std::mutex> lock(s.mutex);
      s.streams.insert(r.stream);
    } else if (r.data != nullptr) {
      struct Held {
        std::shared_ptr<const void> keep;
        std::string head;
      };
      auto* held = new Held{std::move(r.keep), std::move(r.body)};
      const MHD_IoVec pieces[] = {{held->head.data(), held->head.size()}, {r.data, r.size}};
      const bool headed = !held->head.empty();
      m = MHD_create_response_from_iovec(
          headed ? pieces : pieces + 1, headed ? 2 : 1,
          [](void* k) { delete static_cast<Held*>(k); }, held);
      if (m == nullptr) delete held;
    } else {
      m = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (m == nullptr) return MHD_NO;
    if (!r.type.empty()) MHD_add_response_header(m, "Content-Type", r.type.c_str());
    for (const auto& [name, value] : r.headers) {
      MHD_add_response_header(m, name.c_str(), value.c_str());
    }
    p.answered = true;
    const MHD_Result result = MHD_queue_response(c, static_cast<unsigned>(r.status), m);
    MHD_destroy_response(m);
    return result;
  }

  static ssize_t read_stream(void* cls, uint64_t, char* out, size_t n) {
    Stream& s = **static_cast<std::shared_ptr<Stream>*>(cls);
    for (;;) {
      const ssize_t got = s.read(out, n);
      if (got > 0) return got;
      if (got < 0) return MHD_CONTENT_READER_END_OF_STREAM;
      std::lock_guard<std::mutex> lock(s.mutex_);
      if (s.woken_) {
        s.woken_ = false;
        continue;
      }
      s.waiting_ = true;
      MHD_suspend_connection(s.connection_);
      return 0;
    }
  }

  static void free_stream(void* cls) {
    auto* box = static_cast<std::shared_ptr<Stream>*>(cls);
    {
      std::lock_guard<std::mutex> lock((*box)->mutex_);
      (*box)->connection_ = nullptr;
      (*box)->waiting_ = false;
    }
    delete box;
  }

  static Connection* connection_of(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<Connection*>(info->socket_context);
  }

  static int fd_of(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info == nullptr ? -1 : info->connect_fd;
  }

  // The head of a new request: limits, then the gate.
  static MHD_Result head(Server::State& s, MHD_Connection* c, const char* url, const char* method,
                         Pending& p) {
    const Limits& limits = s.limits;
    Request r;
    r.method = method;
    r.path = url;
    r.tls = s.server->tls_;
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    r.peer = peer == nullptr ? "" : address_text(peer->client_addr);
    struct Collect {
      Request* r;
      const Limits* limits;
      size_t target;
      bool header_too_large = false;
    } collect{&r, &limits, r.path.size()};
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          auto& k = *static_cast<Collect*>(cls);
          const size_t size = std::strlen(key) + (value ? std::strlen(value) : 0);
          if (size > k.limits->max_header) k.header_too_large = true;
          k.r->headers.emplace_back(lower(key), value ? value : "");
          return MHD_YES;
        },
        &collect);
    MHD_get_connection_values(
        c, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          auto& k = *static_cast<Collect*>(cls);
          k.target += std::strlen(key) + 2 + (value ? std::strlen(value) : 0);
          k.r->query.emplace_back(key, value ? value : "");
          return MHD_YES;
        },
        &collect);

    auto refuse = [&](int status, const std::string& why) {
      Response answer = s.server->refusal(status, why);
      answer.headers.emplace_back("Connection", "close");
      return queue(c, answer, p, s);
    };
    if (collect.target > limits.max_target) return refuse(414, "the request's address is too long");
    if (r.headers.size() > limits.max_headers) return refuse(431, "too many header fields");
    if (collect.header_too_large) return refuse(431, "a header field is too large");
    if (r.count_header("content-length") > 1) return refuse(400, "more than one Content-Length");
    // A body of no stated length could be any size: bodies come with their Content-Length.
    if (r.has_header("transfer-encoding"))
      return refuse(411, "send the body with a Content-Length");
    const bool has_length = r.has_header("content-length");
    if (!has_length && (r.method == "POST" || r.method == "PUT")) {
      return refuse(411, "a POST or PUT needs a Content-Length header (0 for no body)");
    }
    const unsigned long long length =
        has_length ? std::strtoull(r.header("content-length").c_str(), nullptr, 10) : 0;

    Admission a;
    try {
      a = s.server->gate(r);
    } catch (const std::exception& e) {
      return refuse(500, std::string("internal error: ") + e.what());
    }
    if (a.refusal) {
      // A refusal before the body: the connection closes after it, the body unread.
      if (length > 0) a.refusal->headers.emplace_back("Connection", "close");
      return queue(c, *a.refusal, p, s);
    }
    if (length > a.body_limit) {
      return refuse(413,
                    a.body_limit == 0 ? "this request takes no body" : "the body is too large");
    }
    p.handler = std::move(a.handler);
    p.body_limit = a.body_limit;
    r.body.reserve(static_cast<size_t>(length));
    p.exchange = std::make_shared<Exchange>(std::move(r));
    return MHD_YES;
  }

  static MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                               const char*, const char* upload, size_t* upload_size,
                               void** request_cls) {
    Server::State& s = state(cls);
    auto* p = static_cast<Pending*>(*request_cls);
    if (p == nullptr) {
      p = new Pending;
      *request_cls = p;
      if (Connection* conn = connection_of(c)) {
        std::lock_guard<std::mutex> lock(s.mutex);
        conn->in_request = true;
      }
      return head(s, c, url, method, *p);
    }
    if (p->answered) {
      *upload_size = 0;  // a refused request's body is not kept
      return MHD_YES;
    }
    Exchange& ex = *p->exchange;
    if (*upload_size != 0) {
      if (ex.request_.body.size() + *upload_size > p->body_limit) return MHD_NO;
      ex.request_.body.append(upload, *upload_size);
      *upload_size = 0;
      return MHD_YES;
    }
    if (!p->dispatched) {
      p->dispatched = true;
      {
        std::lock_guard<std::mutex> lock(ex.mutex_);
        ex.connection_ = c;
        ex.fd_ = fd_of(c);
      }
      try {
        p->handler(p->exchange);
      } catch (const std::exception& e) {
        if (!ex.replied())
          ex.reply(s.server->refusal(500, std::string("internal error: ") + e.what()));
      }
      std::unique_lock<std::mutex> lock(ex.mutex_);
      if (!ex.answer_) {
        ex.suspended_ = true;
        MHD_suspend_connection(c);
        lock.unlock();
        std::lock_guard<std::mutex> state_lock(s.mutex);
        s.waiting.insert(p->exchange);
        s.changed.notify_all();
        return MHD_YES;
      }
    }
    // Answered: at once by the handler, or later (the connection resumed).
    std::optional<Response> answer;
    {
      std::lock_guard<std::mutex> lock(ex.mutex_);
      answer.swap(ex.answer_);
    }
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.waiting.erase(p->exchange);
    }
    if (!answer) return MHD_NO;
    return queue(c, *answer, *p, s);
  }

  static void on_completed(void* cls, MHD_Connection* c, void** request_cls,
                           MHD_RequestTerminationCode) {
    Server::State& s = state(cls);
    auto* p = static_cast<Pending*>(*request_cls);
    *request_cls = nullptr;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (Connection* conn = connection_of(c)) {
        conn->in_request = false;
        conn->waiting_since_ms = now_ms();
      }
      if (p != nullptr) {
        if (p->exchange) s.waiting.erase(p->exchange);
        if (p->stream) s.streams.erase(p->stream);
      }
    }
    if (p != nullptr && p->exchange) {
      std::lock_guard<std::mutex> lock(p->exchange->mutex_);
      p->exchange->connection_ = nullptr;
      p->exchange->fd_ = -1;
    }
    delete p;
  }

  // A request's address, before the HTTP library parses its query: one of more parameters than
  // a route takes is cut at once (parsed, they could use up the head's memory, which the library
  // does not answer, and the connection would wait for its head's deadline).
  static void* on_uri(void* cls, const char* uri, MHD_Connection* c) {
    Server::State& s = state(cls);
    const char* query = std::strchr(uri, '?');
    if (query == nullptr) return nullptr;
    const size_t params =
        1 + static_cast<size_t>(std::count(query, query + std::strlen(query), '&'));
    if (params > s.limits.max_params) {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (Connection* conn = connection_of(c)) {
        shutdown(conn->fd, SHUT_RDWR);
        conn->cut = true;
      }
    }
    return nullptr;
  }

  // Every tenth of a second: the clients of waiting exchanges that have left, and heads that
  // took too long (their connection is shut: the event loop then closes it).
  static void watch(Server::State* s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
      s->changed.wait_for(lock, std::chrono::milliseconds(100));
      if (s->stopping) break;
      std::vector<std::shared_ptr<Exchange>> watched(s->waiting.begin(), s->waiting.end());
      const int64_t now = now_ms();
      for (Connection* conn : s->connections) {
        if (!conn->in_request && !conn->cut &&
            now - conn->waiting_since_ms > int64_t{s->limits.head_deadline_s} * 1000) {
          shutdown(conn->fd, SHUT_RDWR);
          conn->cut = true;
        }
      }
      lock.unlock();
      std::vector<pollfd> fds;
      std::vector<std::shared_ptr<Exchange>> polled;
      for (auto& ex : watched) {
        std::lock_guard<std::mutex> ex_lock(ex->mutex_);
        if (!ex->suspended_ || ex->fd_ < 0) continue;
        fds.push_back({ex->fd_, POLLRDHUP, 0});
        polled.push_back(ex);
      }
      if (!fds.empty() && poll(fds.data(), fds.size(), 0) > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
          if (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) polled[i]->mark_gone();
        }
      }
      lock.lock();
    }
  }

  static void on_connection(void* cls, MHD_Connection* c, void** socket_cls,
                            MHD_ConnectionNotificationCode code) {
    Server::State& s = state(cls);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* conn = new Connection;
      conn->fd = fd_of(c);
      conn->waiting_since_ms = now_ms();
      s.connections.insert(conn);
      *socket_cls = conn;
    } else {
      auto* conn = static_cast<Connection*>(*socket_cls);
      s.connections.erase(conn);
      delete conn;
      *socket_cls = nullptr;
    }
  }
};

// ---- answers ----

void Stream::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (waiting_ && connection_ != nullptr) {
    waiting_ = false;
    MHD_resume_connection(connection_);
  } else {
    woken_ = true;
  }
}

void Exchange::reply(Response r) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replied_.exchange(true)) return;  // answered once only
  answer_ = std::move(r);
  if (suspended_) {
    suspended_ = false;
    MHD_resume_connection(connection_);
  }
}

void Exchange::on_gone(std::function<void()> f) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!gone_) {
      gone_callbacks_.push_back(std::move(f));
      return;
    }
  }
  f();
}

void Exchange::mark_gone() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_.exchange(true)) return;
    callbacks.swap(gone_callbacks_);
  }
  for (auto& f : callbacks) f();
}

// ---- the server ----

Server::Server(Limits limits) : limits_(limits), state_(std::make_unique<State>()) {
  state_->server = this;
  state_->limits = limits;
}

Server::~Server() {
  stop();
}

bool Server::start(int listen_fd, const std::string& cert, const std::string& key,
                   std::string& error) {
  tls_ = !cert.empty();
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (tls_) flags |= MHD_USE_TLS;
  sockaddr_storage bound{};
  socklen_t bound_size = sizeof bound;
  if (getsockname(listen_fd, reinterpret_cast<sockaddr*>(&bound), &bound_size) == 0 &&
      bound.ss_family == AF_INET6) {
    flags |= MHD_USE_IPv6;
  }
  MHD_OptionItem tls_options[] = {
      {tls_ ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(key.c_str())},
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(cert.c_str())},
      {MHD_OPTION_END, 0, nullptr}};
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Driver::on_request, state_.get(), MHD_OPTION_LISTEN_SOCKET,
      listen_fd, MHD_OPTION_THREAD_POOL_SIZE, limits_.threads, MHD_OPTION_CONNECTION_LIMIT,
      limits_.max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.per_address,
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.idle_timeout_s, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits_.head_memory, MHD_OPTION_NOTIFY_COMPLETED, &Driver::on_completed, state_.get(),
      MHD_OPTION_NOTIFY_CONNECTION, &Driver::on_connection, state_.get(),
      MHD_OPTION_URI_LOG_CALLBACK, &Driver::on_uri, state_.get(), MHD_OPTION_ARRAY, tls_options,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    error = tls_ ? "cannot start the HTTPS server (is the key the certificate's, both PEM?)"
                 : "cannot start the HTTP server";
    close(listen_fd);
    return false;
  }
  State* s = state_.get();
  s->watcher = std::thread([s] { Driver::watch(s); });
  return true;
}

void Server::stop() {
  if (daemon_ == nullptr) return;
  State* s = state_.get();
  std::vector<std::shared_ptr<Exchange>> waiting;
  std::vector<std::shared_ptr<Stream>> streams;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->stopping = true;
    waiting.assign(s->waiting.begin(), s->waiting.end());
    streams.assign(s->streams.begin(), s->streams.end());
  }
  s->changed.notify_all();
  if (s->watcher.joinable()) s->watcher.join();
  // No connection may stay suspended when the daemon stops.
  for (auto& ex : waiting) ex->reply(refusal(503, "the server is stopping"));
  for (auto& st : streams) st->wake();
  const MHD_socket listener = MHD_quiesce_daemon(daemon_);  // the socket is ours again
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->waiting.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  if (listener >= 0) close(listener);
}

// ---- the listening socket ----

namespace {

// The same place in the other address family (127.0.0.1 and ::1, 0.0.0.0 and ::), where a
// client naming "localhost" or the machine may land instead: false for an address that has none.
bool counterpart(const sockaddr* a, int port, sockaddr_storage& out, socklen_t& size) {
  out = {};
  if (a->sa_family == AF_INET) {
    const in_addr_t v4 = ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr);
    if (v4 != INADDR_LOOPBACK && v4 != INADDR_ANY) return false;
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    v6.sin6_addr = v4 == INADDR_ANY ? in6addr_any : in6addr_loopback;
    size = sizeof v6;
    return true;
  }
  if (a->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    const bool any = IN6_IS_ADDR_UNSPECIFIED(&v6);
    if (!any && !IN6_IS_ADDR_LOOPBACK(&v6)) return false;
    auto& v4 = reinterpret_cast<sockaddr_in&>(out);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    v4.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
    size = sizeof v4;
    return true;
  }
  return false;
}

// Whether another program listens at `a` (a trial bind that would not be refused for connections
// that merely linger there).
bool listened_on(const sockaddr_storage& a, socklen_t size) {
  const int fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;  // no such family here: nobody listens in it
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (a.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  const bool in_use =
      bind(fd, reinterpret_cast<const sockaddr*>(&a), size) != 0 && errno == EADDRINUSE;
  close(fd);
  return in_use;
}

int bound_port(int fd) {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

}  // namespace

int bind_listener(const std::string& host, int& port, std::string& error, int& code) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | (host == "localhost" ? 0 : AI_NUMERICHOST);
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int looked_up = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (looked_up != 0) {
    error = gai_strerror(looked_up);
    code = EINVAL;
    return -1;
  }
  // "localhost" may name both families: IPv4 first, as browsers try it.
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  // A free port (port 0) whose other family's side another program holds is let go for another.
  for (int attempt = 0;; ++attempt) {
    const int fd = socket(chosen->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      code = errno;
      error = strerror(code);
      freeaddrinfo(found);
      return -1;
    }
    // SO_REUSEADDR lets a restarted server bind while its old connections linger; it never lets
    // two servers listen on one port (that would take SO_REUSEPORT, which is not set).
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (chosen->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, chosen->ai_addr, chosen->ai_addrlen) != 0 || listen(fd, 128) != 0) {
      code = errno;
      error = code == EADDRINUSE ? "the port is in use by another program" : strerror(code);
      close(fd);
      freeaddrinfo(found);
      return -1;
    }
    const int bound = bound_port(fd);
    // Another server on the same port in the other family (::1 beside 127.0.0.1, :: beside
    // 0.0.0.0) would share "localhost:PORT" with this one, each client reaching either.
    sockaddr_storage other{};
    socklen_t other_size = 0;
    if (counterpart(chosen->ai_addr, bound, other, other_size) && listened_on(other, other_size)) {
      close(fd);
      if (port == 0 && attempt < 8) continue;
      code = EADDRINUSE;
      error = std::string("the port is in use by another program (on ") +
              (other.ss_family == AF_INET6 ? "IPv6" : "IPv4") + ")";
      freeaddrinfo(found);
      return -1;
    }
    freeaddrinfo(found);
    port = bound;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
  }
}

}  // namespace server::http
