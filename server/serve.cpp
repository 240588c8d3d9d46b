// `vrx5200 serve`: the wiring. Options and the token, the listening socket, the parts (api.h)
// and the routes, then serving until a signal.
#include "server/serve.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "client/results.h"
#include "server/api.h"
#include "server/http.h"
#include "server/scpi.h"

namespace server {
namespace {

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return !in.bad();
}

void remove_dir(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

}  // namespace

bool scpi_address(const std::string& text, std::string& host, int& port) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    return split_listen("127.0.0.1:" + text, host, port);
  }
  return split_listen(text, host, port);
}

int serve(client::Library& lib, const ServeOptions& given) {
  // A worker's FPGA transcript borrows descriptors 1 and 2 for its call: they must not be a
  // socket's (the workers inherit them).
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);  // filled the lowest free descriptor
    }
  }
  // Blocked before the first thread starts, so that every thread inherits it.
  const sigset_t stop_signals = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  ServeOptions o = given;
  std::string host;
  int port = 0;
  if (!split_listen(o.listen, host, port)) {
    std::fprintf(stderr, "vrx5200: bad listen address \"%s\" (ADDR:PORT, [ADDR]:PORT for IPv6)\n",
                 o.listen.c_str());
    return client::kExitUsage;
  }
  std::string scpi_host;
  int scpi_port = 0;
  if (!o.scpi.empty() && !scpi_address(o.scpi, scpi_host, scpi_port)) {
    std::fprintf(stderr,
                 "vrx5200: bad SCPI address \"%s\" (PORT on loopback, or ADDR:PORT, [ADDR]:PORT "
                 "for IPv6)\n",
                 o.scpi.c_str());
    return client::kExitUsage;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    std::fprintf(stderr, "vrx5200: HTTPS needs both --tls-cert and --tls-key\n");
    return client::kExitUsage;
  }
  const bool made_token = o.token.empty();
  if (made_token) {
    o.token = random_secret(24);
    if (o.token.empty()) {
      std::fprintf(stderr,
                   "vrx5200: cannot make a token (no randomness); give one in "
                   "VRX5200_TOKEN or --token-file\n");
      return client::kExitFailure;
    }
  } else if (o.token.size() < kMinTokenLength) {
    std::fprintf(stderr,
                 "vrx5200: the token must have at least %zu characters (128 bits in hex); "
                 "leave it out and serve makes one\n",
                 kMinTokenLength);
    return client::kExitUsage;
  }
  std::string cert, key;
  if (!o.tls_cert.empty()) {
    for (auto [path, text] : {std::pair{&o.tls_cert, &cert}, std::pair{&o.tls_key, &key}}) {
      if (!read_file(*path, *text)) {
        std::fprintf(stderr, "vrx5200: cannot read \"%s\": %s\n", path->c_str(), strerror(errno));
        return client::kExitFile;
      }
    }
  }

  // The server's own directory for uploads, removed when it stops.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = !o.upload_dir.empty()            ? o.upload_dir
                     : tmp != nullptr && *tmp != '\0' ? tmp
                                                      : "/tmp";
  std::string dir = base + "/vrx5200-serve-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::fprintf(stderr, "vrx5200: cannot make the upload directory in \"%s\": %s\n", base.c_str(),
                 strerror(errno));
    return client::kExitFile;
  }

  // A second server on a port in use stops here, leaving the first as it was.
  std::string error;
  int code = 0;
  const int listener = http::bind_listener(host, port, error, code);
  if (listener < 0) {
    std::fprintf(stderr, "vrx5200: cannot listen on %s: %s%s\n", o.listen.c_str(), error.c_str(),
                 code == EADDRINUSE ? " (is another vrx5200 serve running there?)" : "");
    remove_dir(dir);
    return client::kExitFile;
  }
  int scpi_listener = -1;
  if (!o.scpi.empty()) {
    scpi_listener = http::bind_listener(scpi_host, scpi_port, error, code);
    if (scpi_listener < 0) {
      std::fprintf(stderr, "vrx5200: cannot listen for SCPI on %s: %s%s\n", o.scpi.c_str(),
                   error.c_str(),
                   code == EADDRINUSE ? " (is another instrument or server there?)" : "");
      close(listener);
      remove_dir(dir);
      return client::kExitFile;
    }
  }

  // SIGINT and SIGTERM are taken by one thread (blocked in all others, which inherit the mask),
  // which stops the server outside any signal handler. A client gone away must not kill the
  // server (SIGPIPE), nor an upload past a file-size limit (SIGXFSZ: the write fails instead).
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  Access access(o.token, is_loopback(host), o.allow_origins);
  Api api(o, lib, access, dir);
  add_service_routes(api);
  add_board_routes(api);
  add_capture_routes(api);
  add_page_routes(api);

  // The limits of http.h as they stand: a lab's few hundred connections, 64 from one address,
  // heads of at most 32 KiB that must be in within 10 s.
  http::Server http(http::Limits{});
  http.gate = [&api](http::Request& r) { return api.admit(r); };
  http.refusal = [](int status, const std::string& why) {
    http::Response r;
    r.status = status;
    r.type = "application/json; charset=utf-8";
    r.body = nlohmann::json({{"error", why}, {"code", nullptr}, {"meaning", nullptr}}).dump();
    return r;
  };
  if (!http.start(listener, cert, key, error)) {
    std::fprintf(stderr, "vrx5200: %s\n", error.c_str());
    if (scpi_listener >= 0) close(scpi_listener);
    remove_dir(dir);
    return client::kExitFile;
  }
  // The SCPI socket: its connections' jobs go to the same boards' queues as the HTTP side's.
  ScpiServer scpi(api, ScpiLimits{});
  if (scpi_listener >= 0) {
    if (!scpi.start(scpi_listener)) {
      std::fprintf(stderr, "vrx5200: cannot start the SCPI socket's thread\n");
      http.stop();
      remove_dir(dir);
      return client::kExitFailure;
    }
    const bool v6 = scpi_host.find(':') != std::string::npos;
    std::printf("vrx5200: SCPI on TCPIP::%s::%d::SOCKET\n",
                (v6 ? "[" + scpi_host + "]" : scpi_host).c_str(), scpi_port);
    if (!is_loopback(scpi_host)) {
      std::fprintf(stderr,
                   "vrx5200: warning: the SCPI socket has no TLS: beyond loopback its token "
                   "crosses the network in clear\n");
    }
  }

  const auto url_of = [&](const std::string& name) {
    const bool v6 = name.find(':') != std::string::npos;
    return std::string(cert.empty() ? "http" : "https") + "://" + (v6 ? "[" + name + "]" : name) +
           ":" + std::to_string(port) + "/";
  };
  const std::string url = url_of(host);
  std::printf("vrx5200: listening on %s\n", url.c_str());
  // Listening on every address, the panel is reached by the machine's name.
  std::string panel = url;
  char name[256] = {};
  if ((host == "0.0.0.0" || host == "::") && gethostname(name, sizeof name - 1) == 0 && *name) {
    panel = url_of(name);
  }
  // A token the server made is told once, in the panel's address (the page takes it from there
  // and trades it for a cookie); a token given is the user's own already.
  if (made_token) {
    std::printf("vrx5200: open the panel at %s#token=%s\n", panel.c_str(), o.token.c_str());
  }
  std::fflush(stdout);

  // Event streams are woken now and then: a keep-alive finds the clients that have gone.
  std::mutex tick_mutex;
  std::condition_variable tick;
  bool stopping = false;
  std::thread ticker([&] {
    std::unique_lock<std::mutex> lock(tick_mutex);
    while (!tick.wait_for(lock, std::chrono::seconds(5), [&] { return stopping; })) {
      api.events.wake_all();
    }
  });

  int sig = 0;
  sigwait(&stop_signals, &sig);
  {
    std::lock_guard<std::mutex> lock(tick_mutex);
    stopping = true;
  }
  tick.notify_all();
  ticker.join();
  // SCPI connections end first: their jobs are cancelled with the rest below.
  scpi.stop();

  // Jobs are cancelled and their clients told; a job that cannot be stopped (an FPGA load) gets
  // a few seconds to end, then the server leaves without it rather than keep its user waiting.
  api.boards.cancel_all();
  api.events.close();
  bool idle = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    const nlohmann::json jobs = api.boards.status();
    idle = true;
    try {
      for (auto& [board, state] : jobs["boards"].items()) {
        idle = idle && nlohmann::json::parse(api.boards.jobs_json(board)).empty();
      }
    } catch (const ApiError&) {
    }
    if (idle || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!idle) {
    std::fprintf(stderr, "vrx5200: stopping while a board is still busy\n");
    remove_dir(dir);
    std::fflush(nullptr);
    std::_Exit(0);
  }
  http.stop();
  api.boards.stop();
  remove_dir(dir);
  return 0;
}

}  // namespace server
