// A board's routes: open and close (by use), its identity, registers, playback, the FPGA load
// and the simulated board's controls. Each runs as a job of the board's queue, in the board's
// worker process.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/api.h"
#include "server/board.h"
#include "server/fields.h"

namespace server {

using nlohmann::json;

namespace {

int register_address(const Exchange& ex) {
  const std::string& text = ex->request().matches.at(0);
  const int address = std::atoi(text.c_str());
  if (text.size() > 2 || address > 15) bad_request("register addresses are 0 to 15");
  return address;
}

// An uploaded file, removed when the last job or answer that needs it is done.
struct Upload {
  std::string path;
  ~Upload() {
    if (!path.empty()) unlink(path.c_str());
  }
};

std::shared_ptr<Upload> save_upload(const std::string& dir, const std::string& body) {
  auto upload = std::make_shared<Upload>();
  std::string path = dir + "/upload-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw ApiError{500, std::string("cannot store the upload: ") + strerror(errno), {}};
  upload->path = path;
  size_t done = 0;
  int error = 0;
  while (done < body.size()) {
    const ssize_t n = write(fd, body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    const bool full = error == ENOSPC || error == EFBIG || error == EDQUOT;
    throw ApiError{
        full ? 507 : 500,
        std::string(full ? "no space to store the upload: " : "cannot store the upload: ") +
            strerror(error),
        {}};
  }
  return upload;
}

std::string words_bytes(const std::vector<uint16_t>& words) {
  return std::string(reinterpret_cast<const char*>(words.data()), words.size() * 2);
}

}  // namespace

void add_board_routes(Api& api) {
  // ---- open and close, by use ----
  api.add("POST", "/api/v1/boards/([A-Za-z0-9_.-]+)/open", Body::kJson, [&api](const Exchange& ex) {
    auto host = api.boards.host(ex->request().matches.at(0));
    api.board_job(ex, host, "open", {}, "", false, [ex, host](json& info, std::string&) {
      info["use"] = host->add_use();
      info["uses"] = host->uses();
      send_json(ex, info);
    });
  });
  api.add(
      "POST", "/api/v1/boards/([A-Za-z0-9_.-]+)/close", Body::kJson, [&api](const Exchange& ex) {
        auto host = api.boards.host(ex->request().matches.at(0));
        const json body = parse_body(ex->request());
        require_object(body, {"use"});
        size_t left = host->uses();
        if (body.contains("use")) {
          const auto use = static_cast<uint64_t>(int_field(body, "use", 0, 1, INT64_MAX));
          if (!host->end_use(use, left)) {
            throw ApiError{404, "no use " + std::to_string(use) + " of this board", std::nullopt};
          }
          // Another client still uses the board: it stays open for them.
          if (left > 0) {
            send_json(ex, {{"open", host->is_open()}, {"uses", left}});
            return;
          }
        } else if (left > 0) {
          throw ApiError{409,
                         "the board is in use by " + std::to_string(left) +
                             " client(s); close with your own use: {\"use\": N}",
                         std::nullopt};
        }
        api.board_job(ex, host, "close", {}, "", false, [ex](json&, std::string&) {
          send_json(ex, {{"open", false}, {"uses", 0}});
        });
      });
  api.add_board("GET", "/board", Body::kNone, [&api](const Exchange& ex, const std::string& key) {
    api.board_job(ex, api.boards.host(key), "info", {}, "", false,
                  [ex](json& info, std::string&) { send_json(ex, info); });
  });
  api.add("GET", "/api/v1/boards/([A-Za-z0-9_.-]+)", Body::kNone, [&api](const Exchange& ex) {
    api.board_job(ex, api.boards.host(ex->request().matches.at(0)), "info", {}, "", false,
                  [ex](json& info, std::string&) { send_json(ex, info); });
  });

  // ---- registers ----
  api.add_board("GET", R"(/registers/(\d+))", Body::kNone,
                [&api](const Exchange& ex, const std::string& key) {
                  const int address = register_address(ex);
                  api.board_job(ex, api.boards.host(key), "read_register", {{"address", address}},
                                "", false, [ex](json& out, std::string&) { send_json(ex, out); });
                });
  api.add_board("PUT", R"(/registers/(\d+))", Body::kJson,
                [&api](const Exchange& ex, const std::string& key) {
                  const int address = register_address(ex);
                  const json body = parse_body(ex->request());
                  require_object(body, {"value"});
                  if (!body.contains("value")) bad_request("give the value: {\"value\": 0..255}");
                  const int value = static_cast<int>(int_field(body, "value", 0, 0, 255));
                  api.board_job(ex, api.boards.host(key), "write_register",
                                {{"address", address}, {"value", value}}, "", false,
                                [ex](json& out, std::string&) { send_json(ex, out); });
                });

  // ---- playback ----
  api.add_board(
      "POST", "/play", Body::kJsonOrOctets, [&api](const Exchange& ex, const std::string& key) {
        const http::Request& req = ex->request();
        PlayRequest p;
        json session;
        std::string type = req.header("content-type");
        if (type.substr(0, type.find(';')) == "application/octet-stream") {
          const json q = query_json(req, {"rate", "rate_factor_1", "rate_factor_2", "rate_divisor",
                                          "control_byte_1", "control_byte_2", "start_offset"});
          require_object(q, {"rate", "rate_factor_1", "rate_factor_2", "rate_divisor",
                             "control_byte_1", "control_byte_2", "start_offset", "loopback"});
          session = q;
          if (q.contains("loopback"))
            session["loopback"] = q["loopback"] == "1" || q["loopback"] == "true";
          p.session_from_json(session);
          if (req.body.size() % 2 != 0) bad_request("a pattern is whole 16-bit words");
          p.words.resize(req.body.size() / 2);
          for (size_t i = 0; i < p.words.size(); ++i) {
            p.words[i] = static_cast<uint16_t>(static_cast<uint8_t>(req.body[2 * i]) |
                                               static_cast<uint8_t>(req.body[2 * i + 1]) << 8);
          }
        } else {
          // Checked here, made in the board's worker: a long multitone takes a while.
          session = parse_body(req);
          p.generate(session, false);
        }
        const int64_t n = p.words.empty() ? p.pattern_words : static_cast<int64_t>(p.words.size());
        if (n < 32 || n % 32 > 3) {
          bad_request("a pattern needs 32 words or more, with its length mod 32 at most 3");
        }
        json kept = json::object();
        for (const char* name : {"rate", "rate_factor_1", "rate_factor_2", "rate_divisor",
                                 "control_byte_1", "control_byte_2", "start_offset"}) {
          if (session.contains(name)) kept[name] = session[name];
        }
        kept["loopback"] = p.loopback;
        json op = {{"session", kept}};
        if (p.words.empty()) op["generate"] = session;
        api.board_job(ex, api.boards.host(key), "play", op, words_bytes(p.words), true,
                      [ex](json& out, std::string&) { send_json(ex, out); });
      });

  // ---- FPGA ----
  api.add_board("POST", "/fpga", Body::kOctets, [&api](const Exchange& ex, const std::string& key) {
    if (ex->request().body.empty()) bad_request("send the programming file as the body");
    auto host = api.boards.host(key);
    auto upload = save_upload(api.upload_dir, ex->request().body);
    // One library call: it runs to its end once started (it can be cancelled while it waits).
    api.board_job(ex, host, "fpga", {{"path", upload->path}}, "", false,
                  [ex, upload](json& out, std::string&) {
                    const int32_t result = out.value("result", 0);
                    if (result != 20) {
                      out["error"] = "the FPGA configuration failed";
                      out["code"] = result;
                      out["meaning"] = VRX5200_Result_Text(result);
                    }
                    send_json(ex, out, result == 20 ? 200 : 502);
                  });
  });

  // ---- the simulated board ----
  api.add_board("POST", "/sim", Body::kJson, [&api](const Exchange& ex, const std::string& key) {
    const json body = parse_body(ex->request());
    api.board_job(ex, api.boards.host(key), "sim", {{"settings", body}}, "", false,
                  [ex](json&, std::string&) {
                    send_json(ex, {{"ok", true}});
                  });
  });
  api.add_board(
      "GET", "/sim/playback", Body::kNone, [&api](const Exchange& ex, const std::string& key) {
        const json q = query_json(ex->request(), {"first", "count"});
        require_object(q, {"first", "count"});
        const auto first = static_cast<uint32_t>(int_field(q, "first", 0, 0, 1 << 29));
        const auto count = static_cast<uint32_t>(int_field(q, "count", 65536, 1, 1 << 24));
        api.board_job(ex, api.boards.host(key), "sim_playback",
                      {{"first", first}, {"count", count}}, "", false,
                      [ex](json&, std::string& words) {
                        http::Response r;
                        r.type = "application/octet-stream";
                        r.body = std::move(words);
                        ex->reply(std::move(r));
                      });
      });
}

}  // namespace server
