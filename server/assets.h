// The files the server serves from its own memory: the front panel and the API's description,
// built into the tool so that it needs nothing installed beside it and no network.
#pragma once

#include <cstddef>

namespace server {

struct Asset {
  const char* path;  // as requested: "/panel/index.html", "/api/v1/openapi.json"
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

// The asset at `path`, or null.
const Asset* find_asset(const char* path);

}  // namespace server
