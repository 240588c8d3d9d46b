// `vrx5200 serve`: one board over HTTP, for the front-panel page and for remote scripts. A client
// of the control library like the rest of the tool: every call goes through client::Library, on one
// worker thread.
#pragma once

#include <string>

#include "client/library.h"

namespace server {

struct ServeOptions {
  std::string listen = "127.0.0.1:8520";  // ADDR:PORT; port 0 picks a free one
  std::string token;                      // empty: none on loopback, a new one elsewhere
  std::string upload_dir;                 // where the server makes its own directory; empty: TMPDIR
  std::string board;                      // serial key of the board to serve; empty: the first
  bool simulated = false;
  std::string version;
};

// Serves until SIGINT or SIGTERM; returns the process exit code (0, or 1 when the address cannot
// be had, 2 when it is malformed or not loopback without a token source).
int serve(client::Library& lib, const ServeOptions& options);

// The parts of "ADDR:PORT" ("[v6]:PORT" for IPv6); false when malformed.
bool split_listen(const std::string& listen, std::string& host, int& port);
// Whether an address only this machine can reach.
bool is_loopback(const std::string& host);
// Equal strings in time that does not depend on where they differ.
bool same_secret(const std::string& a, const std::string& b);

}  // namespace server
