#include "client/remote.h"

#include <httplib.h>
#include <netdb.h>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace client {
namespace {

bool all_digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Whole seconds and microseconds of a positive time.
std::pair<time_t, time_t> split_seconds(double s) {
  const auto whole = static_cast<time_t>(std::floor(s));
  return {whole, static_cast<time_t>((s - static_cast<double>(whole)) * 1e6)};
}

std::string seconds_text(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", s);
  return text;
}

// Why the host's name does not resolve (empty when it does).
std::string lookup_problem(const std::string& host) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (found != nullptr) freeaddrinfo(found);
  return r == 0 ? "" : gai_strerror(r);
}

}  // namespace

std::string RemoteAddress::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return scheme + "://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + prefix;
}

std::optional<RemoteAddress> parse_remote_address(const std::string& url, std::string& error) {
  RemoteAddress a;
  std::string rest = url;
  const size_t scheme_end = rest.find("://");
  if (scheme_end == std::string::npos) {
    a.scheme = "http";
  } else {
    a.scheme = rest.substr(0, scheme_end);
    for (char& c : a.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    rest = rest.substr(scheme_end + 3);
  }
  if (a.scheme != "http" && a.scheme != "https") {
    error = "the server's address is http://HOST[:PORT] (or https://), not " + a.scheme + "://";
    return std::nullopt;
  }
  for (char c : rest) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
      error = "the server's address holds a space or a control character";
      return std::nullopt;
    }
  }
  if (rest.find_first_of("?#") != std::string::npos) {
    error = rest.find("token=") != std::string::npos
                ? "a token in the address would show in the process list: give it in "
                  "VRX5200_TOKEN or a token file (--token-file)"
                : "the server's address takes no query or fragment";
    return std::nullopt;
  }
  const size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  a.prefix = slash == std::string::npos ? "" : rest.substr(slash);
  while (!a.prefix.empty() && a.prefix.back() == '/') a.prefix.pop_back();
  if (authority.find('@') != std::string::npos) {
    error =
        "the server's address takes no user or password: give the token in VRX5200_TOKEN or "
        "a token file (--token-file)";
    return std::nullopt;
  }
  std::string port_text;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      error = "an IPv6 address needs its closing bracket";
      return std::nullopt;
    }
    a.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      error = "after an IPv6 address in brackets comes :PORT or nothing";
      return std::nullopt;
    }
    if (!after.empty()) port_text = after.substr(1);
    if (after == ":") port_text = "-";
  } else {
    const size_t colon = authority.find(':');
    if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos) {
      error = "an IPv6 address goes in brackets: http://[ADDRESS]:PORT";
      return std::nullopt;
    }
    a.host = authority.substr(0, colon);
    if (colon != std::string::npos) port_text = authority.substr(colon + 1);
    if (colon != std::string::npos && port_text.empty()) port_text = "-";
  }
  if (a.host.empty()) {
    error = "the server's address names no host";
    return std::nullopt;
  }
  if (port_text.empty()) {
    a.port = a.scheme == "https" ? 443 : 80;
  } else if (!all_digits(port_text) || port_text.size() > 5 || std::stoi(port_text) < 1 ||
             std::stoi(port_text) > 65535) {
    error = "the server's port must be 1 to 65535";
    return std::nullopt;
  } else {
    a.port = std::stoi(port_text);
  }
  return a;
}

std::string trim_token(const std::string& text) {
  static const char* const kSpace = " \t\n\v\f\r";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string url_component(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string board_route(const std::string& key, const std::string& route) {
  return key.empty() ? "/api/v1/" + route : "/api/v1/boards/" + url_component(key) + "/" + route;
}

RemoteServer::RemoteServer(RemoteAddress address, std::string token, double timeout_s)
    : address_(std::move(address)), token_(std::move(token)), timeout_s_(timeout_s) {
  const bool v6 = address_.host.find(':') != std::string::npos;
  http_ = std::make_unique<httplib::Client>(address_.scheme + "://" +
                                            (v6 ? "[" + address_.host + "]" : address_.host) + ":" +
                                            std::to_string(address_.port));
  const auto [sec, usec] = split_seconds(timeout_s_);
  http_->set_connection_timeout(sec, usec);
  http_->set_write_timeout(sec, usec);
  http_->set_keep_alive(true);
  // The samples are not worth the time it takes to compress them.
  http_->set_decompress(false);
  if (!token_.empty()) http_->set_bearer_token_auth(token_);
}

RemoteServer::~RemoteServer() = default;

void RemoteServer::fail(const std::string& message, int status) {
  RemoteFailure f;
  f.message = message;
  f.status = status;
  throw f;
}

std::string RemoteServer::request(const char* method, const std::string& path,
                                  const std::string& body, const std::string& content_type,
                                  double extra_wait_s) {
  const double wait = timeout_s_ + extra_wait_s;
  const auto [sec, usec] = split_seconds(wait);
  http_->set_read_timeout(sec, usec);
  httplib::Request req;
  req.method = method;
  req.path = address_.prefix + path;
  req.set_header("Accept", "application/json, application/octet-stream");
  if (!content_type.empty()) req.body = body;
  // Every POST and PUT states its length, an empty one too (the server wants it).
  if (!content_type.empty()) req.set_header("Content-Type", content_type);
  const auto started = std::chrono::steady_clock::now();
  const httplib::Result res = http_->send(req);
  const std::string server = address_.text();
  if (!res) {
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    switch (res.error()) {
      case httplib::Error::Connection:
        if (const std::string problem = lookup_problem(address_.host); !problem.empty()) {
          fail("cannot find the server's host \"" + address_.host + "\": " + problem);
        }
        fail("cannot connect to the server at " + server + " (is `vrx5200 serve` running there?)");
      case httplib::Error::ConnectionTimeout:
        fail("no connection to the server at " + server + " within " + seconds_text(timeout_s_) +
             " s");
      case httplib::Error::Read:
        if (took >= wait * 0.9) {
          fail("no answer from the server at " + server + " within " + seconds_text(wait) + " s");
        }
        fail("the server at " + server + " closed the connection without an answer");
      case httplib::Error::Write:
        fail("sending the request to the server at " + server + " failed");
      case httplib::Error::SSLConnection:
        fail("no TLS connection to the server at " + server + " (does it speak https?)");
      case httplib::Error::SSLServerVerification:
        fail("the server at " + server + " showed a certificate this host does not trust");
      default:
        fail("talking to the server at " + server + " failed: " + httplib::to_string(res.error()));
    }
  }
  if (res->status >= 200 && res->status < 300) return res->body;

  RemoteFailure f;
  f.status = res->status;
  f.body = nlohmann::json::parse(res->body, nullptr, false);
  if (f.body.is_object() && f.body.contains("error") && f.body["error"].is_string()) {
    f.error = f.body["error"].get<std::string>();
    if (f.body.contains("code") && f.body["code"].is_number_integer()) {
      f.code = f.body["code"].get<int32_t>();
    }
    if (res->status == 401) {
      f.message = "the server at " + server + " refused the request: " + f.error +
                  (token_.empty() ? "; give its token in VRX5200_TOKEN or a token file "
                                    "(--token-file)"
                                  : "");
    } else {
      f.message = "the server at " + server + " refused the request: " + f.error;
    }
  } else {
    f.body = nullptr;
    f.message = "the server at " + server + " answered HTTP " + std::to_string(res->status) +
                " without saying why: is it a vrx5200 server?";
  }
  throw f;
}

nlohmann::json RemoteServer::request_json(const char* method, const std::string& path,
                                          const nlohmann::json& body, double extra_wait_s) {
  const std::string sent = body.is_null() ? "" : body.dump();
  const std::string answer = request(
      method, path, sent, body.is_null() && std::string(method) == "GET" ? "" : "application/json",
      extra_wait_s);
  nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
  if (j.is_discarded()) {
    fail("the server at " + address_.text() + " did not answer in JSON: is it a vrx5200 server?");
  }
  return j;
}

}  // namespace client
