// `vrx5200 serve`: every board of the host over HTTP, for the front-panel page and for remote
// scripts. A client of the control library like the rest of the tool: each board's calls run in
// a worker process of its own (worker_process.h), one at a time; the server around them
// (api.h) takes requests, checks them and queues their jobs.
#pragma once

#include <string>
#include <vector>

#include "client/library.h"
#include "server/access.h"

namespace server {

struct ServeOptions {
  std::string listen = "127.0.0.1:8520";  // ADDR:PORT; port 0 picks a free one
  std::string token;       // the token every API request needs; empty: one is made and told
  std::string upload_dir;  // where the server makes its own directory; empty: TMPDIR
  std::string board;       // serial key of the default board; empty: the first discovered
  std::vector<std::string> allow_origins;  // pages elsewhere that may use the API (a proxy)
  std::string tls_cert, tls_key;           // PEM files: serve HTTPS
  std::string scpi;  // ADDR:PORT of the SCPI socket, or PORT alone (on loopback); empty: none
  bool simulated = false;
  std::string version;
  // The program and arguments that start a board's worker process (its key is added).
  std::vector<std::string> worker_command;
};

// A token given by the user must be at least this long (a made one is 48 hex digits, 192 bits).
constexpr size_t kMinTokenLength = 32;

// Serves until SIGINT or SIGTERM; returns the process exit code: 0; 2 when the options are
// wrong (a malformed address, a short token); 3 when an address, a port, a file or a directory
// cannot be had (a port in use is never shared).
int serve(client::Library& lib, const ServeOptions& options);

// The SCPI socket's address from --scpi: "PORT" is on loopback, "ADDR:PORT" as --listen; false
// when malformed.
bool scpi_address(const std::string& text, std::string& host, int& port);

}  // namespace server
