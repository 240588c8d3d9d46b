#include "server/scpi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "server/http.h"
#include "server/scpi_session.h"
#include "server/clock.h"

namespace server {
namespace {

// Bytes read from a connection at a time.
constexpr size_t kReadChunk = 64 * 1024;
// Messages a connection may run in one turn; then the others have theirs.
constexpr int kMessagesPerTurn = 8;

// An HTTP request line ("POST / HTTP/1.1"): a page in a browser sending its body to this port
// to smuggle commands in. Such a connection is closed unanswered.
bool http_request_line(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos || space == 0) return false;
  for (size_t i = 0; i < space; ++i) {
    if (line[i] < 'A' || line[i] > 'Z') return false;
  }
  return line.find(" HTTP/1.", space) != std::string::npos;
}

// Where jobs and analyses hand their results back to the socket's thread.
struct Mailbox {
  std::mutex mutex;
  std::vector<std::pair<uint64_t, std::function<void(scpi::Session&)>>> items;
  int wake_fd = -1;
  bool closed = false;

  void post(uint64_t connection, std::function<void(scpi::Session&)> f) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return;
    items.emplace_back(connection, std::move(f));
    wake();
  }
  void wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd, &one, sizeof one);
  }
};

struct Connection {
  int fd = -1;
  std::unique_ptr<scpi::Session> session;
  std::string input;
  bool discarding = false;  // the rest of a message that was too long
  size_t sent = 0;          // of the first chunk of output
  int64_t opened_ms = 0, active_ms = 0;
};

}  // namespace

struct ScpiServer::State {
  Api& api;
  ScpiLimits limits;
  int listener = -1;
  std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
  std::atomic<bool> stopping{false};
  std::thread thread;
  std::map<uint64_t, Connection> connections;
  uint64_t next_id = 1;
  bool more = false;  // a connection had messages left at the end of its turn

  State(Api& a, ScpiLimits l) : api(a), limits(l) {}

  void loop();
  void accept_all();
  void close(uint64_t id) {
    auto it = connections.find(id);
    if (it == connections.end()) return;
    ::close(it->second.fd);
    connections.erase(it);  // the session cancels its job
  }
  // Reads what there is; false when the connection has ended.
  bool read_from(Connection& c);
  // Writes what it can; false when the connection has ended.
  bool write_to(Connection& c);
  // Runs the messages that are in while the connection may take the next; false to close it.
  bool pump(Connection& c);
};

bool ScpiServer::State::read_from(Connection& c) {
  char buffer[kReadChunk];
  const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  c.active_ms = now_ms();
  size_t from = 0;
  if (c.discarding) {
    const void* end = std::memchr(buffer, '\n', static_cast<size_t>(n));
    if (end == nullptr) return true;
    from = static_cast<size_t>(static_cast<const char*>(end) - buffer) + 1;
    c.discarding = false;
  }
  c.input.append(buffer + from, static_cast<size_t>(n) - from);
  // A message that has grown past the limit without its end is dropped, its rest with it.
  const size_t last_end = c.input.rfind('\n');
  const size_t tail = last_end == std::string::npos ? 0 : last_end + 1;
  if (c.input.size() - tail > limits.max_line) {
    c.input.resize(tail);
    c.discarding = true;
    c.session->push_error(-223,
                          "a message is at most " + std::to_string(limits.max_line) + " bytes");
  }
  return true;
}

bool ScpiServer::State::write_to(Connection& c) {
  auto& out = c.session->output();
  while (!out.empty()) {
    const scpi::Chunk& chunk = out.front();
    const size_t left = chunk.length() - c.sent;
    if (left > 0) {
      const ssize_t n = send(c.fd, chunk.bytes() + c.sent, left, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      c.active_ms = now_ms();
      c.sent += static_cast<size_t>(n);
      if (c.sent < chunk.length()) return true;
    }
    out.pop_front();
    c.sent = 0;
  }
  return true;
}

bool ScpiServer::State::pump(Connection& c) {
  for (int turn = 0;; ++turn) {
    if (!write_to(c)) return false;
    // One message at a time, the next once the last one's answer is out.
    if (c.session->busy() || !c.session->output().empty()) return true;
    const size_t end = c.input.find('\n');
    if (end == std::string::npos) return true;
    if (turn == kMessagesPerTurn) {
      more = true;
      return true;
    }
    std::string line = c.input.substr(0, end);
    c.input.erase(0, end + 1);
    if (http_request_line(line)) return false;
    if (line.size() > limits.max_line) {
      c.session->push_error(-223,
                            "a message is at most " + std::to_string(limits.max_line) + " bytes");
      continue;
    }
    c.session->run(line);
  }
}

void ScpiServer::State::accept_all() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // none left (or a client gone before its turn)
    if (connections.size() >= limits.max_connections) {
      // The oldest connection still without the token makes room; with none, the new one goes.
      uint64_t oldest = 0;
      for (const auto& [id, c] : connections) {
        if (!c.session->authenticated()) {
          oldest = id;
          break;
        }
      }
      if (oldest == 0) {
        ::close(fd);
        continue;
      }
      close(oldest);
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint64_t id = next_id++;
    Connection& c = connections[id];
    c.fd = fd;
    c.opened_ms = c.active_ms = now_ms();
    std::weak_ptr<Mailbox> box = mailbox;
    c.session = std::make_unique<scpi::Session>(
        api, http::address_text(reinterpret_cast<const sockaddr*>(&address)),
        [box, id](std::function<void(scpi::Session&)> f) {
          if (auto b = box.lock()) b->post(id, std::move(f));
        });
  }
}

void ScpiServer::State::loop() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  while (!stopping) {
    fds.clear();
    ids.clear();
    fds.push_back({mailbox->wake_fd, POLLIN, 0});
    fds.push_back({listener, POLLIN, 0});
    for (auto& [id, c] : connections) {
      short events = 0;
      // A connection that sends more than it lets us answer is read no further.
      if (c.input.size() < limits.max_line + kReadChunk) events |= POLLIN;
      if (!c.session->output().empty()) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
      ids.push_back(id);
    }
    // A connection whose turn ended with messages left goes on at once, after the others.
    const bool go_on = more;
    more = false;
    if (poll(fds.data(), fds.size(), go_on ? 0 : 1000) < 0 && errno != EINTR) break;
    if (stopping) break;

    // Jobs and analyses done: their messages go on.
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(mailbox->wake_fd, &count, sizeof count);
      std::vector<std::pair<uint64_t, std::function<void(scpi::Session&)>>> items;
      {
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        items.swap(mailbox->items);
      }
      for (auto& [id, f] : items) {
        auto it = connections.find(id);
        if (it == connections.end()) continue;
        it->second.active_ms = now_ms();
        f(*it->second.session);
        if (!pump(it->second)) close(id);
      }
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      const short r = fds[i + 2].revents;
      auto it = connections.find(ids[i]);
      if (it == connections.end() || (r == 0 && !go_on)) continue;
      Connection& c = it->second;
      bool ok = (r & (POLLERR | POLLNVAL)) == 0;
      if (ok && (r & (POLLIN | POLLHUP))) ok = read_from(c);
      if (ok) ok = pump(c);
      if (!ok) close(ids[i]);
    }
    if (fds[1].revents & POLLIN) accept_all();

    // Time-outs: the token within the login time; then nothing moving for the idle time. A
    // connection waiting for its job is not idle.
    const int64_t now = now_ms();
    std::vector<uint64_t> expired;
    for (auto& [id, c] : connections) {
      if (c.session->busy()) continue;
      const bool late = c.session->authenticated()
                            ? now - c.active_ms > int64_t{limits.idle_timeout_s} * 1000
                            : now - c.opened_ms > int64_t{limits.login_timeout_s} * 1000;
      if (late) expired.push_back(id);
    }
    for (uint64_t id : expired) close(id);
  }
}

ScpiServer::ScpiServer(Api& api, ScpiLimits limits)
    : state_(std::make_unique<State>(api, limits)) {}

ScpiServer::~ScpiServer() {
  stop();
}

bool ScpiServer::start(int listen_fd) {
  State& s = *state_;
  s.listener = listen_fd;
  const int flags = fcntl(listen_fd, F_GETFL);
  fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK);
  s.mailbox->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s.mailbox->wake_fd < 0) return false;
  try {
    s.thread = std::thread([&s] { s.loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ScpiServer::stop() {
  State& s = *state_;
  if (s.thread.joinable()) {
    s.stopping = true;
    s.mailbox->wake();
    s.thread.join();
  }
  {
    std::lock_guard<std::mutex> lock(s.mailbox->mutex);
    s.mailbox->closed = true;
    s.mailbox->items.clear();
  }
  while (!s.connections.empty()) s.close(s.connections.begin()->first);
  if (s.listener >= 0) ::close(s.listener);
  s.listener = -1;
  if (s.mailbox->wake_fd >= 0) ::close(s.mailbox->wake_fd);
  s.mailbox->wake_fd = -1;
}

}  // namespace server
