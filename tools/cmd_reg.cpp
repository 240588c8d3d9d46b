// vrx5200 reg read|write: one FPGA register.
#include <cstdio>

#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"

namespace tool {
namespace {

class RegCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    auto* reg = app.add_subcommand("reg", "read or write an FPGA register");
    reg->require_subcommand(1);
    reg->footer("Examples:\n  vrx5200 reg read 0x0B\n  vrx5200 reg write 5 0x42");
    read_ = reg->add_subcommand("read", "read a register: reg read ADDR");
    read_->add_option("ADDR", address_, "register address (0-15, or 0x0-0xF)")->required();
    read_->footer("Examples:\n  vrx5200 reg read 0x0E    # firmware version\n  vrx5200 reg read 2");
    write_ = reg->add_subcommand("write", "write a register: reg write ADDR VALUE");
    write_->add_option("ADDR", address_, "register address (0-15, or 0x0-0xF)")->required();
    write_->add_option("VALUE", value_, "value (0-255, or 0x00-0xFF)")->required();
    write_->footer("Examples:\n  vrx5200 reg write 5 0x42\n  vrx5200 reg write 0x7 0");
    return reg;
  }

  int run(Context& ctx) override {
    const auto address = static_cast<uint8_t>(parse_number(address_, "register address", 0, 15));
    const auto data =
        static_cast<uint8_t>(write_->parsed() ? parse_number(value_, "register value", 0, 255) : 0);
    ctx.open_board();
    client::Library& lib = ctx.library();
    int32_t value = 0;
    if (read_->parsed()) {
      check("register read", lib.Read_Register(address, &value));
      std::printf("0x%02X\n", value);
    } else {
      check("register write", lib.Write_Register(address, data, &value));
    }
    lib.Close_Session();
    return kExitOk;
  }

 private:
  CLI::App* read_ = nullptr;
  CLI::App* write_ = nullptr;
  std::string address_, value_;
};

}  // namespace

std::unique_ptr<Command> reg_command() {
  return std::make_unique<RegCommand>();
}

}  // namespace tool
