#include "server/api.h"

#include <cmath>
#include <cstdlib>

#include "client/results.h"
#include "server/fields.h"

namespace server {

using nlohmann::json;

namespace {

std::string escape_html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A person's browser opening the address (not a script, not the page's own requests).
bool navigation(const http::Request& r) {
  const std::string mode = r.header("sec-fetch-mode");
  if (!mode.empty()) return mode == "navigate";
  return r.method == "GET" && r.header("accept").find("text/html") != std::string::npos;
}

http::Response error_response(const ApiError& e) {
  json body = {{"error", e.message}, {"code", nullptr}, {"meaning", nullptr}};
  if (e.code) {
    body["code"] = *e.code;
    body["meaning"] = VRX5200_Result_Text(*e.code);
  }
  http::Response r;
  r.status = e.status;
  r.type = "application/json; charset=utf-8";
  r.headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
  r.body = body.dump();
  return r;
}

// What a person should do about a refusal of the page.
std::string advice(int status) {
  switch (status) {
    case 401:
      return "Open the panel with the address <code>vrx5200 serve</code> printed when it "
             "started (it ends in <code>#token=…</code>), or give the token on the panel.";
    case 403:
      return "Open the panel at the address the server listens on (a loopback address such as "
             "<code>http://127.0.0.1:8520/</code>, or through an SSH tunnel to it); a proxy in "
             "front of the server is named to it with <code>--allow-origin</code>.";
    case 429:
      return "Wait a little, then open the panel with the right token.";
    default:
      return "";
  }
}

}  // namespace

// ---- answers ----

void send_json(const Exchange& ex, const json& body, int status) {
  http::Response r;
  r.status = status;
  r.type = "application/json; charset=utf-8";
  r.headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
  r.body = body.dump();
  ex->reply(std::move(r));
}

void send_error(const Exchange& ex, const ApiError& e) {
  ex->reply(error_response(e));
}

void send_failure(const Exchange& ex, std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const ApiError& error) {
    send_error(ex, error);
  } catch (const std::exception& error) {
    send_error(ex, ApiError{500, std::string("internal error: ") + error.what(), std::nullopt});
  } catch (...) {
    send_error(ex, ApiError{500, "internal error", std::nullopt});
  }
}

http::Response refusal_page(int status, const std::string& why, const std::string& what_to_do) {
  http::Response r;
  r.status = status;
  r.type = "text/html; charset=utf-8";
  r.headers = {{"Cache-Control", "no-store"},
               {"X-Content-Type-Options", "nosniff"},
               {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}};
  r.body =
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>VRX5200: "
      "refused</title><style>body{font:15px/1.5 system-ui,sans-serif;background:#111417;"
      "color:#d5dde5;max-width:40em;margin:4em auto;padding:0 1em}h1{color:#ff6b6b;font-size:"
      "20px}code{color:#4fc3f7}</style></head><body><h1 id=\"refused\">The VRX5200 server "
      "refused this request (HTTP " +
      std::to_string(status) + ")</h1><p id=\"why\">" + escape_html(why) + ".</p><p>" + what_to_do +
      "</p></body></html>";
  return r;
}

// ---- requests ----

json parse_body(const http::Request& r) {
  if (r.body.empty()) return json::object();
  json j = json::parse(r.body, nullptr, false);
  if (j.is_discarded()) throw ApiError{400, "the body is not valid JSON", std::nullopt};
  return j;
}

json query_json(const http::Request& r, std::initializer_list<const char*> numeric) {
  json j = json::object();
  for (const auto& [name, value] : r.query) {
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

// ---- the table and the gate ----

Api::Api(const ServeOptions& o, client::Library& lib, Access& a, std::string dir)
    : options(o),
      access(a),
      upload_dir(std::move(dir)),
      boards(lib, o.worker_command, o.board, events, kMaxQueue) {}

void Api::add(const char* method, const std::string& pattern, Body body, Handler handler,
              bool page) {
  routes_.push_back({method, std::regex(pattern), body, page, std::move(handler)});
}

void Api::add_board(const char* method, const std::string& tail, Body body, BoardHandler handler) {
  add(method, "/api/v1" + tail, body, [handler](const Exchange& ex) { handler(ex, ""); });
  add(method, "/api/v1/boards/([A-Za-z0-9_.-]+)" + tail, body, [handler](const Exchange& ex) {
    // The key was the first part captured; the handler sees the tail's.
    auto& matches = const_cast<std::vector<std::string>&>(ex->request().matches);
    const std::string key = matches.front();
    matches.erase(matches.begin());
    handler(ex, key);
  });
}

http::Admission Api::admit(http::Request& r) {
  http::Admission a;
  const bool api = r.path == "/api" || r.path.rfind("/api/", 0) == 0;
  auto refuse = [&](int status, const std::string& why) {
    if (navigation(r) && status != 404 && status != 405) {
      a.refusal = refusal_page(status, why, advice(status));
    } else {
      a.refusal = error_response(ApiError{status, why, std::nullopt});
    }
    return a;
  };
  const Route* found = nullptr;
  bool path_known = false;
  std::smatch m;
  for (const Route& route : routes_) {
    if (!std::regex_match(r.path, m, route.pattern)) continue;
    path_known = true;
    if (route.method != r.method) continue;
    found = &route;
    r.matches.clear();
    for (size_t i = 1; i < m.size(); ++i) r.matches.push_back(m[i].str());
    break;
  }
  if (found == nullptr) {
    return refuse(path_known ? 405 : 404, path_known ? "method not allowed"
                                          : api      ? "no such route"
                                                     : "no such page");
  }
  // The body's kind, from its Content-Type: a JSON body must say so (a page elsewhere cannot
  // send one without asking first), bytes are an upload.
  const unsigned long long length = std::strtoull(r.header("content-length").c_str(), nullptr, 10);
  const bool has_body = length > 0;
  std::string type = r.header("content-type");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool json_type = type == "application/json";
  const bool octets_type = type == "application/octet-stream";
  switch (found->body) {
    case Body::kNone:
      a.body_limit = 0;
      break;
    case Body::kJson:
      if (has_body && !json_type) return refuse(415, "send the body as application/json");
      a.body_limit = kMaxJsonBody;
      break;
    case Body::kOctets:
      if (has_body && !octets_type) return refuse(415, "send the body as application/octet-stream");
      a.body_limit = kMaxUpload;
      break;
    case Body::kJsonOrOctets:
      if (has_body && !json_type && !octets_type) {
        return refuse(415, "send the body as application/json or application/octet-stream");
      }
      a.body_limit = octets_type ? kMaxUpload : kMaxJsonBody;
      break;
  }
  if (length > a.body_limit) {
    return refuse(413, a.body_limit == 0 ? "this request takes no body" : "the body is too large");
  }
  // Limits first (above), then where the request comes from and its token.
  if (auto denial = access.check_site(r, api)) return refuse(denial->status, denial->why);
  if (!found->page) {
    if (auto denial = access.authenticate(r)) {
      refuse(denial->status, denial->why);
      if (denial->status == 401) a.refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
      if (denial->status == 429) {
        const size_t at = denial->why.find("again in ");
        a.refusal->headers.emplace_back(
            "Retry-After", at == std::string::npos
                               ? "1"
                               : std::to_string(std::atoi(denial->why.c_str() + at + 9)));
      }
      return a;
    }
  }
  a.handler = [handler = found->handler](const std::shared_ptr<http::Exchange>& ex) {
    guarded(ex, [&] { handler(ex); });
  };
  return a;
}

void Api::board_job(const Exchange& ex, const std::shared_ptr<BoardHost>& host,
                    const std::string& kind, json op, std::string data, bool cancellable,
                    std::function<void(json& result, std::string& data)> then) {
  op["op"] = kind;
  auto result = std::make_shared<json>();
  auto out = std::make_shared<std::string>();
  const uint64_t id = host->queue().submit(
      kind,
      [host, op = std::move(op), data = std::move(data), result, out](Job& job) {
        host->call(job, op, data, *result, *out);
      },
      cancellable,
      [ex, result, out, then = std::move(then)](std::exception_ptr e) {
        if (e) {
          send_failure(ex, e);
          return;
        }
        guarded(ex, [&] { then(*result, *out); });
      });
  // A client that leaves takes its job with it: dropped while it waits, stopped between blocks
  // while it runs.
  std::weak_ptr<BoardHost> weak = host;
  ex->on_gone([weak, id] {
    if (auto h = weak.lock()) h->queue().cancel(id);
  });
}

}  // namespace server
