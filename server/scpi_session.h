// One SCPI connection as an instrument: its status registers and error queue (IEEE 488.2), its
// token, its capture settings and last capture, and the command table. A message's units run in
// order; one that needs the board (a capture, a register) becomes a job of the board's queue,
// shared with the HTTP side, and the message goes on when the job is done. Everything here runs
// on the socket's thread; jobs and analyses report back through `post`.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "server/captures.h"
#include "server/scpi_parse.h"

namespace server {

class Api;
class BoardHost;

namespace scpi {

// A piece of an answer: text, or bytes kept alive by `keep` (a capture's samples, sent without
// a copy).
struct Chunk {
  Chunk(std::string t) : text(std::move(t)) {}  // a text chunk from text
  Chunk(std::shared_ptr<const void> k, const char* d, size_t n)
      : keep(std::move(k)), data(d), size(n) {}
  std::string text;
  std::shared_ptr<const void> keep;
  const char* data = nullptr;
  size_t size = 0;
  size_t length() const { return keep ? size : text.size(); }
  const char* bytes() const { return keep ? data : text.data(); }
};

// Error/event queue entries a connection keeps; beyond, the last becomes -350.
constexpr size_t kMaxErrors = 32;

class Session {
 public:
  // Runs `f` on this session's thread later, from any thread; dropped once the connection has
  // gone.
  using Post = std::function<void(std::function<void(Session&)>)>;

  Session(Api& api, std::string peer, Post post);
  ~Session();  // a job still waiting or running is cancelled
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs one program message. Its answer goes to output() once the message is done: at once, or
  // after the job it waits for (busy() meanwhile; no other message may start).
  void run(std::string_view line);
  bool busy() const { return pending_; }
  bool authenticated() const { return authenticated_; }
  // Adds to the error/event queue and sets the event status bit of its class.
  void push_error(int code, std::string info = "");
  std::deque<Chunk>& output() { return output_; }

  struct Call;
  struct Command;

 private:
  void resume();
  bool dispatch(const Unit& u);
  // Ends the wait for a job or an analysis: runs `f` (its failure becomes an error), then the
  // rest of the message.
  void complete(const std::function<void()>& f);
  void fail(std::exception_ptr e);
  void answer(std::string text);
  void answer_block(std::vector<Chunk> chunks);

  // ---- what the commands share ----
  std::shared_ptr<BoardHost> host();
  // A job of the board's queue; `then` gets its result and data here.
  void start_job(const std::string& kind, nlohmann::json op, bool cancellable,
                 std::function<void(nlohmann::json& result, std::string& data)> then);
  // A capture with the current settings into last_; then `then`.
  void capture(std::function<void()> then);
  // The figure `name` of the tone analysis of last_.
  void measure(const std::string& name);
  void fetch_block();
  int status_byte() const;

  Api& api_;
  std::string peer_;
  Post post_;
  std::shared_ptr<std::atomic<bool>> gone_;

  // The message being run: its units, the next, the answers so far.
  std::vector<Unit> units_;
  size_t next_ = 0;
  std::vector<std::vector<Chunk>> answers_;
  std::deque<Chunk> output_;
  bool pending_ = false;
  std::string answer_on_failure_;  // a figure's answer when its capture or analysis fails
  std::weak_ptr<BoardHost> job_host_;
  uint64_t job_id_ = 0;

  // IEEE 488.2 status and the SCPI registers.
  std::deque<std::pair<int, std::string>> errors_;
  int esr_ = 0, ese_ = 0, sre_ = 0;
  int operation_enable_ = 0, questionable_enable_ = 0;
  bool authenticated_ = false;

  // The settings *RST restores, and the last capture.
  nlohmann::json settings_;  // a capture request as the HTTP API takes it
  int32_t window_ = 0, harmonics_ = 5;
  bool swapped_ = true;  // FORMat:BORDer SWAPped: blocks little-endian, as the board's samples
  std::string board_;    // SYSTem:BOARd (empty: the default board)
  std::shared_ptr<Capture> last_;

  friend struct Commands;
};

}  // namespace scpi
}  // namespace server
