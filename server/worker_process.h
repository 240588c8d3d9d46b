// A board's worker process: the control library holds one board per process, so the server runs
// one of these for each board it serves (`vrx5200 serve --worker KEY`, started by the server,
// never by hand). It opens its board when a job needs it and runs the jobs the server sends, one
// at a time, until the server closes the channel.
#pragma once

#include <string>

#include "client/library.h"

namespace server {

// The process's whole life: jobs from the channel on descriptor `fd`; returns its exit code.
int serve_worker(client::Library& lib, bool simulated, int fd, const std::string& key);

}  // namespace server
