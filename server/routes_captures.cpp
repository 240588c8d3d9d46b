// Captures: taken on a board's queue, kept by the server, analysed off the queue (a board is free
// for its next capture while the last one is measured), downloaded whole: raw words, .npy, or a
// SigMF archive with the figures in its metadata.
#include <chrono>
#include <cstring>

#include "client/capture_output.h"
#include "server/api.h"
#include "server/board.h"
#include "server/fields.h"

namespace server {

using nlohmann::json;

namespace {

uint64_t capture_id(const Exchange& ex) {
  const std::string& text = ex->request().matches.at(0);
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) throw ApiError{404, "no such id", {}};
  return v;
}

// The board whose captures a route names: `key`'s, the default board's for an empty key (none
// when the host has no board: then no capture is anyone's).
std::string board_of(Api& api, const std::string& key) {
  try {
    return api.boards.host(key)->key();
  } catch (const ApiError& e) {
    if (key.empty() && e.status == 409) return "";
    throw;
  }
}

std::shared_ptr<Capture> kept_capture(Api& api, const Exchange& ex, const std::string& key) {
  const std::string board = board_of(api, key);
  std::shared_ptr<Capture> c = board.empty() ? nullptr : api.captures.find(capture_id(ex), board);
  if (!c) throw ApiError{404, "no capture of this board with this id (the last 256 are kept)", {}};
  return c;
}

// Analyses `c` off the queues and answers with `make` of the figures; a client gone by then is
// not analysed for.
void analyse_and_answer(Api& api, const Exchange& ex, const std::shared_ptr<Capture>& c,
                        const AnalysisOptions& o, std::function<json(json)> make) {
  api.analyses.submit(
      analysis_cost(c->samples.size()),
      [ex, c, o, make = std::move(make)] {
        guarded(ex, [&] { send_json(ex, make(analyse(*c, o))); });
      },
      [ex] { return ex->gone(); },
      [ex] {
        send_error(ex, ApiError{409, "cancelled", std::nullopt});
      });
}

}  // namespace

void add_capture_routes(Api& api) {
  api.add_board(
      "POST", "/capture", Body::kJson, [&api](const Exchange& ex, const std::string& key) {
        const auto started = std::chrono::steady_clock::now();
        const json body = parse_body(ex->request());
        const CaptureRequest r = CaptureRequest::from_json(body);  // refused here, before the queue
        const AnalysisOptions a = AnalysisOptions::from_json(body);
        auto host = api.boards.host(key);
        api.board_job(ex, host, "capture", {{"request", body}}, "", true,
                      [&api, ex, host, r, a, started](json& result, std::string& data) {
                        Capture kept;
                        kept.board = host->key();
                        kept.samples.resize(data.size() / 2);
                        std::memcpy(kept.samples.data(), data.data(), kept.samples.size() * 2);
                        data.clear();
                        data.shrink_to_fit();
                        kept.offset_binary = r.offset_binary;
                        kept.rate_hz = r.sample_rate();
                        kept.evenly_spaced = r.evenly_spaced();
                        kept.family_id = result.value("family_id", -1);
                        kept.firmware_version = result.value("firmware_version", -1);
                        auto capture = api.captures.add(std::move(kept));
                        analyse_and_answer(api, ex, capture, a, [capture, started](json out) {
                          out["id"] = capture->id;
                          out["board"] = capture->board;
                          out["samples"] = capture->samples.size();
                          out["rate_hz"] = capture->rate_hz;
                          out["offset_binary"] = capture->offset_binary;
                          out["elapsed_ms"] = std::chrono::duration<double, std::milli>(
                                                  std::chrono::steady_clock::now() - started)
                                                  .count();
                          return out;
                        });
                      });
      });

  api.add_board("GET", "/captures", Body::kNone,
                [&api](const Exchange& ex, const std::string& key) {
                  const std::string board = board_of(api, key);
                  send_json(ex, board.empty() ? json::array() : api.captures.list(board));
                });

  api.add_board(
      "GET", R"(/captures/(\d+))", Body::kNone, [&api](const Exchange& ex, const std::string& key) {
        const std::shared_ptr<Capture> c = kept_capture(api, ex, key);
        const http::Request& req = ex->request();
        const std::string format = req.has_param("format") ? req.param("format") : "raw";
        if (format != "raw" && format != "npy" && format != "sigmf") {
          bad_request("\"format\" must be raw, npy or sigmf");
        }
        if (format == "sigmf") {
          // A recording's metadata holds its figures: made off the queues, as an analysis.
          const std::string recorder = "vrx5200 serve " + api.options.version;
          api.analyses.submit(
              analysis_cost(c->samples.size()) + c->samples.size() * 2,
              [ex, c, recorder] {
                guarded(ex, [&] {
                  http::Response r;
                  r.type = "application/x-tar";
                  r.headers = {{"Content-Disposition", "attachment; filename=\"capture-" +
                                                           std::to_string(c->id) + ".sigmf\""}};
                  r.body = sigmf_archive_of(*c, recorder);
                  ex->reply(std::move(r));
                });
              },
              [ex] { return ex->gone(); },
              [ex] {
                send_error(ex, ApiError{409, "cancelled", std::nullopt});
              });
          return;
        }
        http::Response r;
        r.type = "application/octet-stream";
        r.headers = {{"Content-Disposition", "attachment; filename=\"capture-" +
                                                 std::to_string(c->id) +
                                                 (format == "npy" ? ".npy\"" : ".bin\"")}};
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
                      "the samples go out as they lie in memory: little-endian");
        // The samples as they are, without a copy, for as long as the answer takes (a copy each
        // would take 32 MiB a download of the longest capture); a .npy's header goes first.
        if (format == "npy") r.body = client::npy_header(c->offset_binary, c->samples.size());
        r.data = reinterpret_cast<const char*>(c->samples.data());
        r.size = c->samples.size() * 2;
        r.keep = c;
        ex->reply(std::move(r));
      });

  api.add_board("GET", R"(/captures/(\d+)/spectrum)", Body::kNone,
                [&api](const Exchange& ex, const std::string& key) {
                  const std::shared_ptr<Capture> c = kept_capture(api, ex, key);
                  json q = query_json(ex->request(), {"points", "harmonics"});
                  if (!q.contains("points")) q["points"] = 2048;
                  q["spectrum"] = q["points"];
                  q.erase("points");
                  const AnalysisOptions o = AnalysisOptions::from_json(q);
                  // The spectrum object itself, with the figures beside its arrays.
                  analyse_and_answer(api, ex, c, o, [c](json analysis) {
                    json out =
                        analysis.contains("spectrum") ? analysis["spectrum"] : json::object();
                    out["metrics"] = analysis["metrics"];
                    out["summary"] = analysis["summary"];
                    out["id"] = c->id;
                    return out;
                  });
                });
}

}  // namespace server
