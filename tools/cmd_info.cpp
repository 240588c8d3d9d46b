// vrx5200 info: a board's family ID, firmware version and busy state.
#include <cstdio>

#include "client/json.h"
#include "tools/commands.h"
#include "tools/failure.h"

namespace tool {
namespace {

class InfoCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    auto* info =
        app.add_subcommand("info", "family ID, firmware version and busy state of a board");
    info->add_flag("--json", json_, "one JSON object instead of lines");
    info->footer("Examples:\n  vrx5200 info\n  vrx5200 --board SIM00001 --sim info --json");
    return info;
  }

  int run(Context& ctx) override {
    const std::string key = ctx.open_board();
    client::Library& lib = ctx.library();
    uint8_t family = 0, version = 0;
    int32_t busy = 0;
    check("family ID", lib.Get_Family_ID(&family));
    check("firmware version", lib.Get_Firmware_version(&version));
    check("busy state", lib.Check_ADC_Busy(&busy));
    if (json_) {
      std::printf("%s\n", client::JsonObject()
                              .add_string("serial_key", key)
                              .add_int("family_id", family)
                              .add_int("firmware_version", version)
                              .add_bool("busy", busy != 0)
                              .text()
                              .c_str());
    } else {
      std::printf("family ID 0x%02X\nfirmware version 0x%02X\nbusy %d\n", family, version, busy);
    }
    lib.Close_Session();
    return kExitOk;
  }

 private:
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> info_command() {
  return std::make_unique<InfoCommand>();
}

}  // namespace tool
