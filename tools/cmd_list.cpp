// vrx5200 list: the boards found, by number and serial key. No board is an answer too (nothing,
// or no boards in JSON), as device scans of other tools give it; a bridge that is there but
// cannot be had is a failure that says why.
#include <cstdio>

#include "client/json.h"
#include "tools/commands.h"
#include "tools/failure.h"

namespace tool {
namespace {

class ListCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    auto* list = app.add_subcommand("list", "list the boards found (number and serial key)");
    list->add_flag("--json", json_,
                   "one JSON object: {\"boards\": [{\"number\", \"serial_key\"}]}");
    list->add_flag("--captures", captures_,
                   "with -u: the captures the server keeps (id, samples, rate), for analyze "
                   "--capture");
    list->footer("Examples:\n  vrx5200 list\n  vrx5200 --sim list --json");
    return list;
  }

  int run(Context& ctx) override {
    if (captures_) {
      if (!ctx.remote())
        fail("--captures lists the captures a server keeps: give it with -u URL", 2);
      print_kept_captures(ctx.global.remote, json_);
      return kExitOk;
    }
    client::Library& lib = ctx.library();
    int32_t count = 0, length = 0;
    char keys[901] = {};
    const int32_t r = lib.Get_VRX5200_EVM(&count, keys, &length);
    if (r == VRX5200_RESULT_NO_DEVICES || (r == 0 && count == 0)) {
      count = 0;
      if (!ctx.global.sim) ctx.fail_if_unusable_bridges();
    } else {
      check("discovery", r);
    }
    const std::vector<std::string> board_keys = client::split_keys(keys, count);
    std::vector<client::JsonObject> boards;
    for (size_t b = 0; b < board_keys.size(); ++b) {
      if (json_) {
        boards.push_back(client::JsonObject()
                             .add_int("number", static_cast<int64_t>(b))
                             .add_string("serial_key", board_keys[b]));
      } else {
        std::printf("%zu %s\n", b, board_keys[b].c_str());
      }
    }
    if (json_) std::printf("%s\n", client::JsonObject().add_array("boards", boards).text().c_str());
    return kExitOk;
  }

 private:
  bool json_ = false;
  bool captures_ = false;
};

}  // namespace

std::unique_ptr<Command> list_command() {
  return std::make_unique<ListCommand>();
}

}  // namespace tool
