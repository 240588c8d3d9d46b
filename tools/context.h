// What every subcommand is run with: the global options, the tool's name as it was run, and the
// control library, loaded when a subcommand first needs it.
#pragma once

#include <string>

#include "client/library.h"
#include "tools/remote.h"

namespace tool {

struct GlobalOptions {
  bool sim = false;
  std::string library;
  std::string board;
  RemoteOptions remote;  // -u: the board of a server elsewhere
};

class Context {
 public:
  Context(GlobalOptions options, std::string program)
      : global(std::move(options)), program(std::move(program)) {}

  GlobalOptions global;
  std::string program;  // the tool as it was run (its path as typed)
  // The board is a server's (-u), reached through its API.
  bool remote() const { return !global.remote.uri.empty(); }

  // The control library the global options name (--sim, --library; -u: the server's board
  // through its API), loaded on first use.
  client::Library& library();
  // The conversion needs no board: any of the two libraries does it.
  client::Library& conversion_library();
  // Loads the library of attached boards (or of --library) when it can; false leaves none loaded.
  bool try_attached();
  // Forgets a library loaded by try_attached(), so that library() loads the one asked for next.
  void unload();

  // Discovers the boards and opens the one asked for (--board: a serial key, or a number as
  // `vrx5200 list` prints it; else the only one); returns its serial key.
  std::string open_board();
  // The serial key --board names (a number as `vrx5200 list` prints it becomes its key); empty
  // without --board.
  std::string board_key();
  // No board found: on attached boards, says which bridges are there but cannot be had.
  [[noreturn]] void fail_no_board();
  // Fails, saying why, when there are bridges this user cannot have (permissions, held).
  void fail_if_unusable_bridges();

 private:
  // The board's number in the discovery's list of `count` keys; -1 when there is none such.
  int32_t board_number(const char* keys, int32_t& count);
  client::Library lib_;
  bool loaded_ = false;
};

}  // namespace tool
