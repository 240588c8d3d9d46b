// The server's own routes: its description, its state, the page's session, the board list, the
// job queues and the event streams.

#include "server/api.h"
#include "server/assets.h"
#include "server/clock.h"
#include "server/fields.h"

namespace server {

using nlohmann::json;

namespace {

uint64_t id_of(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) throw ApiError{404, "no such id", {}};
  return v;
}

// An event stream: the hub's messages for one board (or all), a comment now and then so that a
// client that has gone is found out.
class EventStream : public http::Stream {
 public:
  explicit EventStream(EventHub& hub) : hub_(hub) {}
  ~EventStream() override {
    if (subscriber_) hub_.unsubscribe(subscriber_);
  }
  bool open(size_t limit, const std::string& board, const std::shared_ptr<EventStream>& self) {
    std::weak_ptr<EventStream> weak = self;
    subscriber_ = hub_.subscribe(limit, board, [weak] {
      if (auto s = weak.lock()) s->wake();
    });
    buffer_ = "retry: 2000\nevent: hello\ndata: {}\n\n";
    return subscriber_ != nullptr;
  }
  ssize_t read(char* out, size_t n) override {
    if (at_ == buffer_.size()) {
      buffer_.clear();
      at_ = 0;
      if (!hub_.take(subscriber_, buffer_)) return -1;
      if (buffer_.empty()) {
        if (now_ms() - last_ms_ < kKeepAliveMs) return 0;
        buffer_ = ": keep-alive\n\n";
      }
    }
    const size_t k = std::min(n, buffer_.size() - at_);
    std::memcpy(out, buffer_.data() + at_, k);
    at_ += k;
    last_ms_ = now_ms();
    return static_cast<ssize_t>(k);
  }
  static constexpr int64_t kKeepAliveMs = 4000;

 private:
  EventHub& hub_;
  std::shared_ptr<EventHub::Subscriber> subscriber_;
  std::string buffer_;
  size_t at_ = 0;
  int64_t last_ms_ = 0;
};

}  // namespace

void add_service_routes(Api& api) {
  api.add("GET", "/api/v1", Body::kNone, [&api](const Exchange& ex) {
    send_json(ex, {{"api", 1},
                   {"version", api.options.version},
                   {"library", api.boards.library_version()},
                   {"simulated", api.options.simulated},
                   // What this server has beyond the first API 1: routes under
                   // /boards/{key}/, open and close by use, the page's session.
                   {"features", {"board-routes", "uses", "session"}}});
  });
  api.add("GET", "/api/v1/openapi.json", Body::kNone, [](const Exchange& ex) {
    const Asset* a = find_asset("/api/v1/openapi.json");
    if (a == nullptr) throw ApiError{404, "no API description built in", std::nullopt};
    http::Response r;
    r.type = a->type;
    r.data = reinterpret_cast<const char*>(a->data);
    r.size = a->size;
    ex->reply(std::move(r));
  });
  api.add("GET", "/api/v1/status", Body::kNone,
          [&api](const Exchange& ex) { send_json(ex, api.boards.status()); });

  // The page trades the token for a cookie its scripts cannot read, kept for the browser's
  // session: links, downloads and the event stream then carry no token.
  api.add("POST", "/api/v1/session", Body::kNone, [&api](const Exchange& ex) {
    http::Response r;
    r.type = "application/json; charset=utf-8";
    r.headers = {{"Set-Cookie", api.access.session_cookie(ex->request())},
                 {"Cache-Control", "no-store"}};
    r.body = json({{"session", true}}).dump();
    ex->reply(std::move(r));
  });

  api.add("GET", "/api/v1/boards", Body::kNone,
          [&api](const Exchange& ex) { send_json(ex, api.boards.list()); });

  api.add_board("GET", "/jobs", Body::kNone, [&api](const Exchange& ex, const std::string& key) {
    http::Response r;
    r.type = "application/json; charset=utf-8";
    r.body = api.boards.jobs_json(key);
    ex->reply(std::move(r));
  });
  api.add_board("POST", R"(/jobs/(\d+)/cancel)", Body::kNone,
                [&api](const Exchange& ex, const std::string& key) {
                  const std::string& text = ex->request().matches.at(0);
                  const uint64_t id = id_of(text);
                  switch (api.boards.cancel(id, key)) {
                    case Worker::Cancel::kNoSuchJob:
                      throw ApiError{404, "no queued or running job " + text, std::nullopt};
                    case Worker::Cancel::kRunsToItsEnd:
                      throw ApiError{409,
                                     "this job runs to its end once started (one library call)",
                                     std::nullopt};
                    case Worker::Cancel::kAsked:
                      break;
                  }
                  send_json(ex, {{"id", id}, {"cancelled", true}});
                });

  // The events of one board (the default one at /api/v1/events; of every board on a host that
  // has none yet).
  auto events = [&api](const Exchange& ex, const std::string& key) {
    std::string board;
    try {
      board = api.boards.host(key)->key();
    } catch (const ApiError& e) {
      if (!key.empty() || e.status != 409) throw;
    }
    auto stream = std::make_shared<EventStream>(api.events);
    if (!stream->open(kMaxStreams, board, stream)) {
      throw ApiError{503, "too many event streams are open", std::nullopt};
    }
    http::Response r;
    r.type = "text/event-stream";
    r.headers = {{"Cache-Control", "no-store"}};
    r.stream = stream;
    ex->reply(std::move(r));
  };
  api.add_board("GET", "/events", Body::kNone, events);
}

}  // namespace server
