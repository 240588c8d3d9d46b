// What the routes share: the server's parts, the route table with each route's body rules, the
// gate every request passes before its body is read (route, site, token, body type and size),
// and the helpers that answer. Routes live in routes_*.cpp, one file per area.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "server/access.h"
#include "server/boards.h"
#include "server/captures.h"
#include "server/http.h"
#include "server/jobs.h"
#include "server/serve.h"

namespace server {

using Exchange = std::shared_ptr<http::Exchange>;

// The body a route takes, by Content-Type: none, JSON (64 KiB at most), bytes (an upload, 64 MiB
// at most), or either.
enum class Body { kNone, kJson, kOctets, kJsonOrOctets };

constexpr size_t kMaxJsonBody = 64 * 1024;
constexpr size_t kMaxUpload = size_t{64} << 20;
// Jobs waiting for one board; beyond, 503.
constexpr size_t kMaxQueue = 32;
// Event streams open at once.
constexpr size_t kMaxStreams = 32;

class Api {
 public:
  Api(const ServeOptions& options, client::Library& lib, Access& access, std::string upload_dir);

  using Handler = std::function<void(const Exchange&)>;
  // A board's handler: `key` is the board named in the path, empty for the default board.
  using BoardHandler = std::function<void(const Exchange&, const std::string& key)>;

  // A route of the API (behind the token) or of the page (`page`: open to all, no body).
  void add(const char* method, const std::string& pattern, Body body, Handler handler,
           bool page = false);
  // A route of a board, at /api/v1`tail` for the default board and at
  // /api/v1/boards/{key}`tail` for any; the handler sees the tail's captured parts only.
  void add_board(const char* method, const std::string& tail, Body body, BoardHandler handler);

  // The gate (see http.h): everything a request must pass before its body is read.
  http::Admission admit(http::Request& r);

  // Runs `op` on a board as a job of its queue (cancelled if the client leaves); `then` gets
  // the result and the data on the queue's thread and answers (or hands the answer on); a
  // failure is answered here.
  void board_job(const Exchange& ex, const std::shared_ptr<BoardHost>& host,
                 const std::string& kind, nlohmann::json op, std::string data, bool cancellable,
                 std::function<void(nlohmann::json& result, std::string& data)> then);

  const ServeOptions options;
  Access& access;
  const std::string upload_dir;
  EventHub events;
  Boards boards;
  CaptureStore captures;
  Analyses analyses;

 private:
  struct Route {
    std::string method;
    std::regex pattern;
    Body body;
    bool page;
    Handler handler;
  };
  std::vector<Route> routes_;
};

// ---- answers ----
void send_json(const Exchange& ex, const nlohmann::json& body, int status = 200);
void send_error(const Exchange& ex, const ApiError& e);
// The answer to the failure in `e`.
void send_failure(const Exchange& ex, std::exception_ptr e);
// An answer of plain words for a person's browser: a refusal explained on a page.
http::Response refusal_page(int status, const std::string& why, const std::string& what_to_do);

// Runs `f`, answering its refusals and failures.
template <typename F>
void guarded(const Exchange& ex, F&& f) {
  try {
    f();
  } catch (...) {
    send_failure(ex, std::current_exception());
  }
}

// ---- requests ----
// The JSON body ({} when empty); 400 when it is not JSON.
nlohmann::json parse_body(const http::Request& r);
// Query parameters as JSON: numbers for the names in `numeric`, strings otherwise.
nlohmann::json query_json(const http::Request& r, std::initializer_list<const char*> numeric);

// ---- the route files ----
void add_service_routes(Api& api);  // version, status, session, boards, jobs, events
void add_board_routes(Api& api);    // open, close, info, registers, play, FPGA, simulation
void add_capture_routes(Api& api);  // capture, captures, spectrum
void add_page_routes(Api& api);     // the front panel's files

}  // namespace server
