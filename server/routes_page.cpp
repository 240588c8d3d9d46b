// The front panel's files: built into the tool, open to all (they carry no board access; the
// page asks for the token, and its requests to the API carry the session's cookie).
#include "server/api.h"
#include "server/assets.h"

namespace server {

void add_page_routes(Api& api) {
  auto page = [](const Exchange& ex) {
    const std::string& path = ex->request().path;
    const Asset* a = find_asset(path == "/" ? "/panel/index.html" : path.c_str());
    if (a == nullptr) throw ApiError{404, "no such page", std::nullopt};
    http::Response r;
    r.type = a->type;
    r.headers = {{"Content-Security-Policy",
                  "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; "
                  "frame-ancestors 'none'"},
                 {"X-Content-Type-Options", "nosniff"},
                 {"X-Frame-Options", "DENY"},
                 {"Referrer-Policy", "no-referrer"}};
    r.data = reinterpret_cast<const char*>(a->data);
    r.size = a->size;
    ex->reply(std::move(r));
  };
  api.add("GET", "/", Body::kNone, page, true);
  api.add("GET", R"(/panel/[A-Za-z0-9_.-]+)", Body::kNone, page, true);
}

}  // namespace server
