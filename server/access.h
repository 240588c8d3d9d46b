// Who may use the server: the token (as a bearer header for scripts, traded by the page for a
// cookie), failed attempts throttled per client address, and the checks that keep other sites'
// pages and rebound DNS names away from the board.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/http.h"

namespace server {

// The parts of "ADDR:PORT" ("[v6]:PORT" for IPv6); false when malformed.
bool split_listen(const std::string& listen, std::string& host, int& port);
// Whether an address only this machine can reach (a number of the loopback range, ::1, or
// "localhost").
bool is_loopback(const std::string& host);
// Equal strings in time that does not depend on where they differ.
bool same_secret(const std::string& a, const std::string& b);
// A new random secret of `bytes` bytes, in hex; empty when the system gives no randomness.
std::string random_secret(size_t bytes);

// A refusal of the access rules: the HTTP status and why.
struct Denial {
  int status;
  std::string why;
};

class Access {
 public:
  // `token`: the secret every API request needs; `loopback`: the server listens on loopback
  // only (Host names are then checked); `origins`: pages elsewhere that may use the API (a
  // proxy's address, "https://lab.example:8443").
  Access(std::string token, bool loopback, std::vector<std::string> origins);

  // Host, Origin and Sec-Fetch-Site of a request for the API (`api`) or for the page.
  std::optional<Denial> check_site(const http::Request& r, bool api) const;
  // The bearer token or the page's cookie, with failed attempts throttled per address (429
  // with Retry-After once an address has failed too often, checked no further).
  std::optional<Denial> authenticate(const http::Request& r);
  // A token given by a client of `peer` outside HTTP (the SCPI socket's SYSTem:TOKen), counted
  // against the same failed attempts per address.
  std::optional<Denial> check_token(const std::string& peer, const std::string& given);
  // Set-Cookie for the page of this request, after its token was accepted.
  std::string session_cookie(const http::Request& r) const;
  // The cookie's name for the port the request was sent to.
  static std::string cookie_name(const http::Request& r);

  static constexpr int kBurst = 10;              // failed attempts an address may make at once
  static constexpr double kPerSecond = 1;        // then one more a second
  static constexpr size_t kMaxAddresses = 4096;  // addresses whose failures are remembered

 private:
  struct Bucket {
    double left;
    int64_t at_ms;
  };
  // Whether `peer` has used up its failed attempts (retry_s: when it may try again); `spend`
  // counts one more.
  bool throttled(const std::string& peer, bool spend, double& retry_s);

  std::string token_;
  std::string cookie_;  // the page's cookie: a secret of its own, not the token
  bool loopback_;
  std::vector<std::string> origins_;
  std::mutex mutex_;
  std::map<std::string, Bucket> failures_;
};

}  // namespace server
