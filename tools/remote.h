// The tool on a board behind `vrx5200 serve` elsewhere (-u URL): the options that choose the
// server, and the control library's exports made of the server's API, so that every subcommand
// runs unchanged and gives what it gives on the server's host.
//
// What runs where under -u: list, info, load, reg, capture, play (a text pattern is converted
// here, then uploaded), loopback (a simulated board served) and analyze --capture ID (a capture
// the server keeps) use the server's board; convert, generate and analyze of a file need no board
// and run here as always; serve and demo use this host's board and refuse -u.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "client/library.h"
#include "client/remote.h"

namespace tool {

struct RemoteOptions {
  std::string uri;         // the server's address; empty: this host's boards
  bool uri_given = false;  // on the command line (not from VRX5200_URI)
  std::string token_file;  // empty: VRX5200_TOKEN, else VRX5200_TOKEN_FILE
  double timeout_s = 30;   // the wait for a connection and for each answer
  std::string board;       // --board: whose kept captures (empty: the server's default board's)
};

// Adds -u/--uri, --token-file and --remote-timeout to the global options.
void add_remote_options(CLI::App& app, RemoteOptions& o);

// After the parse: VRX5200_URI is the default unless --sim or --library chose a library here;
// a bad address is a command-line failure (exit 2), as is -u with a subcommand that uses this
// host's board (serve, demo) or with --sim or --library.
void settle_remote_options(CLI::App& app, RemoteOptions& o, bool local_library_chosen);

// Fills `lib` with exports that drive the server's board (after asking the server what it is);
// the conversion exports are a local library's, loaded when first called.
void attach_remote_library(client::Library& lib, const RemoteOptions& o);

// The captures to come are offset binary (or two's complement): the server keeps them so, for its
// figures and for analyze --capture. The library itself knows no code format.
void remote_capture_code_format(bool offset_binary);

// A capture the server keeps (by its id, or "last"), for analyze.
struct KeptCapture {
  std::vector<uint16_t> samples;
  bool offset_binary = false;
  double rate_hz = 0;         // 0: unknown
  bool evenly_spaced = true;  // false: an uneven lane list, every spectral figure withheld
  std::string name;           // the capture's address on the server, for the figures' heading
};
KeptCapture fetch_kept_capture(const RemoteOptions& o, const std::string& id);
// The captures the server keeps: "ID SAMPLES samples[ at RATE][, offset binary]" lines, or one
// JSON object {"captures": [{"id", "samples", "rate_hz", "offset_binary"}]}.
void print_kept_captures(const RemoteOptions& o, bool json);

// ---- shared by the remote parts of the tool ----

// The connection to the server `o` names, made on first use (the token read then).
client::RemoteServer& remote_connection(const RemoteOptions& o);
// Fails as the tool fails: with the library's result code and sentence when the board or the
// library failed on the server (exit code as for a local call), else with the one-line reason
// (exit 2 for a request the server found malformed, 1 otherwise).
[[noreturn]] void fail_remote(const client::RemoteFailure& f);
// The step a server's sentence says failed ("register read failed": "register read"), else the
// sentence itself.
std::string server_step(const std::string& error);
// The server answered, but not as the API says.
[[noreturn]] void fail_protocol(const client::RemoteServer& server, const std::string& what);

}  // namespace tool
