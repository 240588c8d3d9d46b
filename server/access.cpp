#include "server/access.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "server/clock.h"

namespace server {

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
  return strcasecmp(host.c_str(), "localhost") == 0;
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

std::string random_secret(size_t bytes) {
  std::string raw(bytes, '\0');
  FILE* f = std::fopen("/dev/urandom", "rb");
  const bool ok = f != nullptr && std::fread(raw.data(), 1, bytes, f) == bytes;
  if (f != nullptr) std::fclose(f);
  if (!ok) return "";
  std::string out;
  char hex[3];
  for (unsigned char b : raw) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

namespace {

// The name in a Host header ("name:port", "[v6]:port", or a name alone).
std::string host_name(const std::string& host) {
  if (!host.empty() && host.front() == '[') {
    const size_t end = host.find(']');
    return end == std::string::npos ? "" : host.substr(1, end - 1);
  }
  const size_t colon = host.find(':');
  return colon == std::string::npos ? host : host.substr(0, colon);
}

// "scheme://host[:port]" of an origin as named on the command line, in lower case, without a
// trailing slash.
std::string origin_form(std::string origin) {
  origin = lower(origin);
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  return origin;
}

}  // namespace

Access::Access(std::string token, bool loopback, std::vector<std::string> origins)
    : token_(std::move(token)), cookie_(random_secret(32)), loopback_(loopback) {
  for (auto& o : origins) origins_.push_back(origin_form(o));
}

std::optional<Denial> Access::check_site(const http::Request& r, bool api) const {
  const std::string host = lower(r.header("host"));
  const std::string origin = r.header("origin");
  bool allowed_origin = false;
  if (!origin.empty()) {
    const std::string o = origin_form(origin);
    allowed_origin = std::find(origins_.begin(), origins_.end(), o) != origins_.end();
  }
  // On loopback only the names of this machine, at any port (an SSH tunnel's), and the hosts of
  // the allowed origins (a proxy that keeps the Host it was asked for): a rebound DNS name does
  // not reach the board.
  if (loopback_) {
    bool ok = !host.empty() && is_loopback(host_name(host));
    for (const std::string& o : origins_) {
      const size_t at = o.find("://");
      ok = ok || (at != std::string::npos && o.substr(at + 3) == host);
    }
    if (!ok) return Denial{403, "the Host header does not name this server"};
  }
  // A page of another site must not drive the board through the user's browser: its requests
  // carry its own origin (and no CORS header is ever sent).
  if (!origin.empty() && !allowed_origin) {
    const std::string o = origin_form(origin);
    if (o != "http://" + host && o != "https://" + host) {
      return Denial{403, "cross-origin requests are refused"};
    }
  }
  // Requests a browser makes for another site's page (images, scripts: no Origin header) say so
  // in Sec-Fetch-Site; a link followed to the page itself is welcome.
  const std::string site = r.header("sec-fetch-site");
  const bool navigation = !api && r.method == "GET" && r.header("sec-fetch-mode") == "navigate";
  if (!site.empty() && site != "same-origin" && site != "none" && !navigation && !allowed_origin) {
    return Denial{403, "cross-site requests are refused"};
  }
  return std::nullopt;
}

bool Access::throttled(const std::string& peer, bool spend, double& retry_s) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = now_ms();
  auto it = failures_.find(peer);
  if (it == failures_.end()) {
    if (!spend) return false;
    if (failures_.size() >= kMaxAddresses) {
      // Addresses whose attempts have all been forgiven go first; failing that, the one that
      // failed longest ago (so many addresses, of an IPv6 network say, cannot grow this
      // without bound).
      for (auto f = failures_.begin(); f != failures_.end();) {
        f = now - f->second.at_ms > 1000 * kBurst / kPerSecond ? failures_.erase(f) : ++f;
      }
      if (failures_.size() >= kMaxAddresses) {
        failures_.erase(std::min_element(
            failures_.begin(), failures_.end(),
            [](const auto& a, const auto& b) { return a.second.at_ms < b.second.at_ms; }));
      }
    }
    it = failures_.emplace(peer, Bucket{double(kBurst), now}).first;
  }
  Bucket& b = it->second;
  b.left =
      std::min(double(kBurst), b.left + static_cast<double>(now - b.at_ms) / 1000.0 * kPerSecond);
  b.at_ms = now;
  if (b.left < 1) {
    retry_s = (1 - b.left) / kPerSecond;
    return true;
  }
  if (spend) b.left -= 1;
  return false;
}

std::optional<Denial> Access::authenticate(const http::Request& r) {
  std::string given;
  bool cookie_ok = false, presented = false;
  const std::string auth = r.header("authorization");
  if (!auth.empty()) {
    presented = true;
    if (auth.size() > 7 && strncasecmp(auth.c_str(), "Bearer ", 7) == 0) given = auth.substr(7);
  }
  // The page's cookie, named for the port the browser used (other servers' on this machine are
  // sent along: cookies are not kept apart by port).
  const std::string mine = cookie_name(r) + "=";
  for (const auto& [name, value] : r.headers) {
    if (name != "cookie") continue;
    size_t at = 0;
    while (at < value.size()) {
      size_t end = value.find(';', at);
      if (end == std::string::npos) end = value.size();
      std::string pair = value.substr(at, end - at);
      const size_t start = pair.find_first_not_of(' ');
      pair = start == std::string::npos ? "" : pair.substr(start);
      if (pair.rfind(mine, 0) == 0) {
        presented = true;
        cookie_ok = cookie_ok || same_secret(pair.substr(mine.size()), cookie_);
      }
      at = end + 1;
    }
  }
  if (!presented) return Denial{401, "this server needs its token (Authorization: Bearer)"};
  // An address that has failed too often is not even checked until its time is up: guesses
  // come no faster than kPerSecond, whatever they are.
  double retry_s = 0;
  if (throttled(r.peer, false, retry_s)) {
    return Denial{429, "too many failed attempts from this address; try again in " +
                           std::to_string(static_cast<int>(std::ceil(retry_s))) + " s"};
  }
  const bool token_ok = !given.empty() && same_secret(given, token_);
  if ((!auth.empty() && token_ok) || (auth.empty() && cookie_ok)) return std::nullopt;
  throttled(r.peer, true, retry_s);
  return Denial{401, auth.empty() ? "the session has ended (the server was restarted?): give "
                                    "the token again"
                                  : "wrong token"};
}

std::optional<Denial> Access::check_token(const std::string& peer, const std::string& given) {
  double retry_s = 0;
  if (throttled(peer, false, retry_s)) {
    return Denial{429, "too many failed attempts from this address; try again in " +
                           std::to_string(static_cast<int>(std::ceil(retry_s))) + " s"};
  }
  if (!given.empty() && same_secret(given, token_)) return std::nullopt;
  throttled(peer, true, retry_s);
  return Denial{401, "wrong token"};
}

std::string Access::cookie_name(const http::Request& r) {
  // Cookies are not kept apart by port: the name carries the port the browser used, so that
  // two servers on one machine do not overwrite each other's.
  const std::string host = r.header("host");
  const size_t colon = host.rfind(':');
  std::string port = colon == std::string::npos || host.back() == ']' ? "" : host.substr(colon + 1);
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
    port = r.tls ? "443" : "80";
  }
  return "vrx5200_" + port;
}

std::string Access::session_cookie(const http::Request& r) const {
  return cookie_name(r) + "=" + cookie_ + "; Path=/; HttpOnly; SameSite=Strict" +
         (r.tls ? "; Secure" : "");
}

}  // namespace server
