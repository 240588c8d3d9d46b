// The client side of the HTTP API of `vrx5200 serve`: the server's address, one request at a time
// on one kept-alive connection, the bearer token, time-outs, and every failure as one
// RemoteFailure that says what went wrong in one line (the library's result code with it when the
// board or the library failed on the server).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace httplib {
class Client;
}

namespace client {

// The address of a server: http://HOST[:PORT][/PREFIX] (or https://, or HOST[:PORT] for
// http://). No user, query or fragment: a token never travels in the address.
struct RemoteAddress {
  std::string scheme;  // "http" or "https"
  std::string host;    // a name, an IPv4 address, or an IPv6 address without its brackets
  int port = 0;
  std::string prefix;  // the path the API lives under, without a trailing '/' ("" at the root)
  // scheme://host:port/prefix as the messages name the server.
  std::string text() const;
};

// The address in `url`, or nullopt with `error` saying what is wrong with it.
std::optional<RemoteAddress> parse_remote_address(const std::string& url, std::string& error);

struct RemoteFailure {
  std::string message;  // one line: what went wrong, naming the server
  int status = 0;       // the HTTP status; 0 when no answer came
  // The library's result code when the board or the library failed on the server.
  std::optional<int32_t> code;
  // The server's own sentence ("register read failed"); empty when it gave none.
  std::string error;
  nlohmann::json body;  // the answer's JSON object, when it was one
};

class RemoteServer {
 public:
  // `timeout_s`: how long to wait for a connection and for each answer (a request may add its
  // own time to the answer's wait: a capture's read-back time-out, an upload's size).
  RemoteServer(RemoteAddress address, std::string token, double timeout_s);
  ~RemoteServer();
  RemoteServer(const RemoteServer&) = delete;
  RemoteServer& operator=(const RemoteServer&) = delete;

  const RemoteAddress& address() const { return address_; }

  // One request to PREFIX + `path`; returns the body of a 2xx answer, throws RemoteFailure
  // otherwise. `content_type` names the body's type (empty: no body).
  std::string request(const char* method, const std::string& path, const std::string& body = "",
                      const std::string& content_type = "", double extra_wait_s = 0);
  // The same, with a JSON answer (and a JSON body when `body` is not null).
  nlohmann::json request_json(const char* method, const std::string& path,
                              const nlohmann::json& body = nullptr, double extra_wait_s = 0);

 private:
  [[noreturn]] void fail(const std::string& message, int status = 0);
  RemoteAddress address_;
  std::string token_;
  double timeout_s_;
  std::unique_ptr<httplib::Client> http_;
};

// The path of a route of the board `key`: /api/v1/boards/{key}/..., or /api/v1/... for the
// server's default board (an empty key).
std::string board_route(const std::string& key, const std::string& route);

// `text` as one component of a URL path (%-escaped beyond letters, digits and -._~).
std::string url_component(const std::string& text);

// A token file's text without the white space at either end (a newline an editor adds, a space
// typed before it), as the server, the tool and the Python package all take it.
std::string trim_token(const std::string& text);

}  // namespace client
