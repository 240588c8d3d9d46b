// vrx5200 load: a programming file into the board's FPGA, with the library's transcript.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/files.h"

namespace tool {
namespace {

class LoadCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    auto* load = app.add_subcommand("load", "load a programming file into the board's FPGA");
    load->add_option("FILE", file_, "raw configuration bit stream; - for standard input")
        ->required();
    load->footer(
        "Examples:\n  vrx5200 load firmware.rbf\n  vrx5200 --board ABCD1234 load firmware.rbf");
    return load;
  }

  int run(Context& ctx) override {
    // The file is checked before the board is touched (the library scans the JTAG chain first).
    const std::string file = input_path(file_, "standard-input.rbf");
    check_readable_file(file);
    // An empty file would only fail at the end of a whole JTAG configuration.
    std::error_code error;
    if (std::filesystem::file_size(file, error) == 0 && !error) {
      fail((file_ == "-" ? std::string("standard input") : "\"" + file_ + "\"") +
               " holds no bytes; a programming file cannot be empty",
           kExitFile);
    }
    ctx.open_board();
    client::Library& lib = ctx.library();
    std::fflush(stdout);
    check("FPGA configuration", lib.Load_Firmware(file.c_str()), VRX5200_RESULT_FPGA_CONFIGURED);
    lib.Close_Session();
    return kExitOk;
  }

 private:
  std::string file_;
};

}  // namespace

std::unique_ptr<Command> load_command() {
  return std::make_unique<LoadCommand>();
}

}  // namespace tool
