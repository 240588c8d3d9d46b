// The options that choose a server (-u, --token-file, --remote-timeout), and the captures a
// server keeps, for analyze.
#include "tools/remote.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "client/json.h"
#include "client/remote.h"
#include "client/units.h"
#include "tools/failure.h"

namespace tool {

void add_remote_options(CLI::App& app, RemoteOptions& o) {
  app.add_option("-u,--uri", o.uri,
                 "use the board of the `vrx5200 serve` at URL (http://HOST[:PORT]; default: "
                 "VRX5200_URI), with the token in VRX5200_TOKEN or --token-file");
  app.add_option("--token-file", o.token_file,
                 "file that holds the server's token (default: VRX5200_TOKEN, else the file "
                 "VRX5200_TOKEN_FILE names)");
  app.add_option("--remote-timeout", o.timeout_s,
                 "seconds to wait for the server's connection and each answer (default 30, or "
                 "VRX5200_REMOTE_TIMEOUT)");
}

void settle_remote_options(CLI::App& app, RemoteOptions& o, bool local_library_chosen) {
  o.uri_given = app.count("--uri") > 0;
  if (!o.uri_given) {
    // The environment's server is a default: a library chosen here, or a subcommand that uses
    // this host's board, goes without it.
    const char* env = std::getenv("VRX5200_URI");
    const bool own_board = app.got_subcommand("serve") || app.got_subcommand("demo");
    if (env != nullptr && *env != '\0' && !local_library_chosen && !own_board) o.uri = env;
  }
  if (app.count("--remote-timeout") == 0) {
    if (const char* env = std::getenv("VRX5200_REMOTE_TIMEOUT"); env != nullptr && *env != '\0') {
      char* end = nullptr;
      errno = 0;
      o.timeout_s = std::strtod(env, &end);
      if (*end != '\0' || errno == ERANGE) o.timeout_s = -1;
    }
  }
  if (!(o.timeout_s > 0 && o.timeout_s <= 86400)) {
    fail(
        "bad server time-out (--remote-timeout or VRX5200_REMOTE_TIMEOUT): a number of seconds "
        "above 0, at most 86400",
        kExitUsage);
  }
  if (o.uri.empty()) {
    if (o.uri_given) fail("-u needs the server's address: -u http://HOST[:PORT]", kExitUsage);
    return;
  }
  if (o.uri_given && local_library_chosen) {
    fail(
        "-u uses the server's board; --sim and --library choose a library here: give one or the "
        "other",
        kExitUsage);
  }
  for (const char* own : {"serve", "demo"}) {
    if (app.got_subcommand(own)) {
      fail(std::string(own) +
               " uses this host's board (or the simulated one), not a server's: run it without "
               "-u, on the server's host if need be",
           kExitUsage);
    }
  }
  std::string error;
  if (!client::parse_remote_address(o.uri, error)) {
    fail("bad server address \"" + o.uri + "\": " + error, kExitUsage);
  }
}

std::string server_step(const std::string& error) {
  const std::string tail = " failed";
  const bool named = error.size() > tail.size() &&
                     error.compare(error.size() - tail.size(), tail.size(), tail) == 0;
  return named ? error.substr(0, error.size() - tail.size()) : error;
}

void fail_protocol(const client::RemoteServer& s, const std::string& what) {
  fail("the server at " + s.address().text() + " did not answer as a vrx5200 server does: " + what);
}

void fail_remote(const client::RemoteFailure& f) {
  if (f.code) {
    const int32_t code = *f.code;
    if (server_step(f.error) != f.error) {
      fail(client::failure_text(server_step(f.error), code), client::exit_code_for(code));
    }
    fail(f.error + ": result " + std::to_string(code) + " (" + VRX5200_Result_Text(code) + ")",
         client::exit_code_for(code));
  }
  // A request the server found malformed is one the command line asked for.
  fail(f.message, f.status == 400 || f.status == 413 ? kExitUsage : kExitFailure);
}

client::RemoteServer& remote_connection(const RemoteOptions& o) {
  // Made once and never destroyed: the library's exports use it up to the very end of the
  // process (a loopback turned on is turned off then).
  static client::RemoteServer* connection = nullptr;
  if (connection != nullptr) return *connection;
  std::string error;
  const std::optional<client::RemoteAddress> address = client::parse_remote_address(o.uri, error);
  if (!address) fail("bad server address \"" + o.uri + "\": " + error, kExitUsage);
  // The token: a token file named here, else VRX5200_TOKEN, else the file VRX5200_TOKEN_FILE
  // names. Never from the command line itself, which the process list shows.
  std::string token;
  std::string file = o.token_file;
  const char* env_token = std::getenv("VRX5200_TOKEN");
  const char* env_file = std::getenv("VRX5200_TOKEN_FILE");
  if (file.empty() && env_token != nullptr && *env_token != '\0') {
    token = env_token;
  } else {
    if (file.empty() && env_file != nullptr) file = env_file;
    if (!file.empty()) {
      std::ifstream in(file, std::ios::binary);
      if (in) token.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (!in || in.bad()) {
        fail("cannot read the token file \"" + file + "\": " + errno_text(), kExitFile);
      }
      token = client::trim_token(token);
      if (token.empty() || token.find_first_of("\r\n") != std::string::npos) {
        fail("the token file \"" + file + "\" does not hold a token (one line)", kExitFile);
      }
    }
  }
  connection = new client::RemoteServer(*address, token, o.timeout_s);
  return *connection;
}

namespace {

// The captures route of the board --board names (a key, or its number in the server's list),
// else of the server's default board.
std::string captures_route(client::RemoteServer& server, const std::string& board) {
  if (board.empty()) return "/api/v1/captures";
  const nlohmann::json list = server.request_json("GET", "/api/v1/boards");
  std::string key;
  if (list.is_array()) {
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string k = list[i].is_object() ? list[i].value("key", std::string()) : "";
      if (k == board || std::to_string(i) == board) key = k;
    }
  }
  if (key.empty()) {
    fail("the server at " + server.address().text() + " has no board \"" + board + "\"");
  }
  return client::board_route(key, "captures");
}

}  // namespace

KeptCapture fetch_kept_capture(const RemoteOptions& o, const std::string& id) {
  client::RemoteServer& server = remote_connection(o);
  KeptCapture k;
  try {
    const std::string captures = captures_route(server, o.board);
    const nlohmann::json list = server.request_json("GET", captures);
    const nlohmann::json* entry = nullptr;
    if (!list.is_array()) fail_protocol(server, "its capture list is not a list");
    for (const nlohmann::json& c : list) {
      if (!c.is_object() || !c.contains("id") || !c["id"].is_number_unsigned()) {
        fail_protocol(server, "its capture list names a capture without an id");
      }
      if (id == "last"
              ? entry == nullptr || c["id"].get<uint64_t>() > (*entry)["id"].get<uint64_t>()
              : std::to_string(c["id"].get<uint64_t>()) == id) {
        entry = &c;
      }
    }
    if (entry == nullptr) {
      fail(id == "last" ? "the server at " + server.address().text() + " keeps no capture"
                        : "the server at " + server.address().text() + " keeps no capture " + id +
                              " (it keeps the last 256; see: vrx5200 -u URL list --captures)",
           kExitFile);
    }
    const std::string number = std::to_string((*entry)["id"].get<uint64_t>());
    const nlohmann::json samples = entry->value("samples", nlohmann::json());
    const std::string bytes =
        server.request("GET", captures + "/" + number + "?format=raw", "", "",
                       samples.is_number_unsigned() ? samples.get<double>() / 5e6 : 0);
    if (!samples.is_number_unsigned() || bytes.size() != 2 * samples.get<uint64_t>()) {
      fail_protocol(server, "capture " + number + " came with " + std::to_string(bytes.size()) +
                                " bytes, not 2 for each of its samples");
    }
    k.samples.resize(bytes.size() / 2);
    std::memcpy(k.samples.data(), bytes.data(), bytes.size());
    k.offset_binary = entry->value("offset_binary", false);
    k.evenly_spaced = entry->value("evenly_spaced", true);
    const nlohmann::json rate = entry->value("rate_hz", nlohmann::json());
    if (rate.is_number() && std::isfinite(rate.get<double>()) && rate.get<double>() > 0) {
      k.rate_hz = rate.get<double>();
    }
    k.name = server.address().text() + captures + "/" + number;
  } catch (const client::RemoteFailure& f) {
    fail_remote(f);
  }
  return k;
}

void print_kept_captures(const RemoteOptions& o, bool json) {
  client::RemoteServer& server = remote_connection(o);
  nlohmann::json list;
  try {
    list = server.request_json("GET", captures_route(server, o.board));
  } catch (const client::RemoteFailure& f) {
    fail_remote(f);
  }
  if (!list.is_array()) fail_protocol(server, "its capture list is not a list");
  std::vector<client::JsonObject> captures;
  for (const nlohmann::json& c : list) {
    if (!c.is_object() || !c.contains("id") || !c["id"].is_number_unsigned() ||
        !c.value("samples", nlohmann::json()).is_number_unsigned()) {
      fail_protocol(server, "its capture list names a capture without an id or a size");
    }
    const auto id = c["id"].get<uint64_t>();
    const auto samples = c["samples"].get<uint64_t>();
    const nlohmann::json rate = c.value("rate_hz", nlohmann::json());
    const bool known =
        rate.is_number() && std::isfinite(rate.get<double>()) && rate.get<double>() > 0;
    const bool offset_binary = c.value("offset_binary", false);
    if (json) {
      client::JsonObject one;
      one.add_int("id", static_cast<int64_t>(id)).add_int("samples", static_cast<int64_t>(samples));
      if (known) {
        one.add_number("rate_hz", rate.get<double>());
      } else {
        one.add_null("rate_hz");
      }
      captures.push_back(one.add_bool("offset_binary", offset_binary));
    } else {
      std::printf("%llu %llu samples%s%s\n", static_cast<unsigned long long>(id),
                  static_cast<unsigned long long>(samples),
                  known ? (" at " + client::format_hertz(rate.get<double>())).c_str() : "",
                  offset_binary ? ", offset binary" : "");
    }
  }
  if (json)
    std::printf("%s\n", client::JsonObject().add_array("captures", captures).text().c_str());
}

}  // namespace tool
