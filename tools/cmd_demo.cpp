// vrx5200 demo: the whole flow (discovery, FPGA load, capture, conversion, playback) on an
// attached board, or on the simulated board when none is, into a directory of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/files.h"
#include "tools/usb_access.h"

namespace tool {
namespace {

const char* const kDemoFiles[] = {"demo_fpga.rbf", "capture.bin", "demo_samples.txt",
                                  "DAC_test.bin"};

// What the demo made: removed again when it fails, so that a failed demo leaves the directory as
// it found it (the demo's files are its own: it never overwrites one).
struct DemoFiles {
  std::string dir;
  bool made_dir = false;
  bool complete = false;
  ~DemoFiles() {
    if (complete || dir.empty()) return;
    for (const char* name : kDemoFiles) unlink((dir + "/" + name).c_str());
    if (made_dir) rmdir(dir.c_str());
  }
};

// The demo's directory: `asked` (made when missing, its demo files never overwritten), or a new
// vrx5200-demo, vrx5200-demo-2, ... in the current directory.
void make_demo_dir(const std::string& asked, DemoFiles& files) {
  if (!asked.empty()) {
    struct stat st {};
    const bool existed = stat(asked.c_str(), &st) == 0;
    for (const char* name : kDemoFiles) {
      const std::string path = asked + "/" + name;
      if (existed && access(path.c_str(), F_OK) == 0) {
        fail("\"" + path + "\" exists and the demo does not overwrite files: give another --dir",
             kExitFile);
      }
    }
    ensure_dir(asked);
    files.dir = asked;
    files.made_dir = !existed;
    return;
  }
  for (int n = 1; n < 1000; ++n) {
    const std::string dir = n == 1 ? "vrx5200-demo" : "vrx5200-demo-" + std::to_string(n);
    if (mkdir(dir.c_str(), 0777) == 0) {
      files.dir = dir;
      files.made_dir = true;
      return;
    }
    if (errno != EEXIST)
      fail("cannot make the directory \"" + dir + "\": " + errno_text(), kExitFile);
  }
  fail("vrx5200-demo to vrx5200-demo-999 exist already: remove some or give --dir", kExitFile);
}

// A programming file of pseudo-random bytes: the simulated board takes any.
std::string generated_firmware() {
  std::string bytes(65536, '\0');
  uint32_t x = 2463534242u;
  for (char& b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<char>(x & 0xFF);
  }
  return bytes;
}

// A sine of 256 samples a period, 8192 lines of text.
std::string generated_samples() {
  std::string text;
  for (int i = 0; i < 8192; ++i) {
    text += std::to_string(std::lround(30000.0 * std::sin(2 * 3.14159265358979 * i / 256)));
    text += '\n';
  }
  return text;
}

class DemoCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    auto* demo = app.add_subcommand(
        "demo", "the whole flow on an attached board, or on the simulated board when none is");
    demo->add_option("--dir", dir_,
                     "directory of the demo's files (made when missing; its demo files are never "
                     "overwritten); default a new ./vrx5200-demo, vrx5200-demo-2, ...");
    demo->footer("Examples:\n  vrx5200 demo\n  vrx5200 --sim demo --dir /tmp/demo");
    return demo;
  }
  int run(Context& ctx) override;

 private:
  // Chooses the board: an attached one when there is one, else the simulated board.
  static void choose_board(Context& ctx);
  void run_steps(Context& ctx, const std::string& dir);
  std::string dir_;
};

void DemoCommand::choose_board(Context& ctx) {
  if (ctx.global.sim || !ctx.global.library.empty()) {
    ctx.library();
    return;
  }
  int32_t count = 0, length = 0;
  char keys[901] = {};
  if (ctx.try_attached() && ctx.library().Get_VRX5200_EVM(&count, keys, &length) == 0 &&
      count > 0) {
    return;
  }
  ctx.unload();
  ctx.global.sim = true;
  // A bridge that is there but cannot be had is named, with what to fix, before the demo goes on
  // without it.
  const std::string problems = usb_access_problems();
  if (!problems.empty())
    std::fprintf(stderr, "an attached board cannot be used:%s\n", problems.c_str());
  std::printf("no board attached: the demo runs on the simulated board\n");
  ctx.library();
}

int DemoCommand::run(Context& ctx) {
  choose_board(ctx);
  client::Library& lib = ctx.library();
  int32_t major = 0, minor = 0;
  lib.Get_DLL_Version(&major, &minor);
  std::printf("vrx5200 demo on %s (library %d.%d, %s)\n",
              ctx.global.sim ? "the simulated board" : "an attached board", major, minor,
              lib.path.c_str());
  DemoFiles files;
  make_demo_dir(dir_, files);
  std::printf("   its files go to %s/\n", files.dir.c_str());
  run_steps(ctx, files.dir);
  // A transcript that did not arrive is a failed demo too: it removes what it made.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    fail("writing standard output failed: " + errno_text(), kExitFile);
  }
  files.complete = true;
  return kExitOk;
}

void DemoCommand::run_steps(Context& ctx, const std::string& dir) {
  client::Library& lib = ctx.library();
  int32_t count = 0, length = 0;
  char keys[901] = {};
  check("discovery", lib.Get_VRX5200_EVM(&count, keys, &length));
  std::string key_list;
  for (const std::string& key : client::split_keys(keys, count))
    key_list += (key_list.empty() ? "" : ", ") + key;
  std::printf("1. boards found: %d (%s)\n", count, key_list.c_str());
  ctx.open_board();
  const std::string firmware = dir + "/demo_fpga.rbf";
  std::printf("2. board 0 open\n3. loading a generated programming file into the FPGA:\n");
  write_new_file(firmware, generated_firmware());
  std::fflush(stdout);
  check("FPGA configuration", lib.Load_Firmware(firmware.c_str()), VRX5200_RESULT_FPGA_CONFIGURED);
  uint8_t family = 0, version = 0;
  check("family ID", lib.Get_Family_ID(&family));
  check("firmware version", lib.Get_Firmware_version(&version));
  std::printf("4. family ID 0x%02X, firmware version 0x%02X\n", family, version);
  lib.Close_Session();

  CaptureOptions c;
  c.samples = 1 << 20;
  c.output = dir + "/capture.bin";
  std::printf("5. capturing 1 Mi samples into %s:\n   ", c.output.c_str());
  std::fflush(stdout);
  run_capture(ctx, c);

  std::printf("6. converting a generated sample file and playing it:\n");
  PlayOptions p;
  p.text.input = dir + "/demo_samples.txt";
  write_new_file(p.text.input, generated_samples());
  p.text.output_dir = dir;
  const int32_t lines = run_convert(lib, p.text);
  p.binary = dir + "/DAC_test.bin";
  std::printf("   %s: %d lines converted to %s\n", p.text.input.c_str(), lines, p.binary.c_str());
  p.verify = lib.sim_read_playback != nullptr;
  std::fflush(stdout);
  run_play(ctx, p);
  std::printf("   8192 pattern words uploaded and playing\n7. ports closed\n");
  std::printf("Analyse the capture: %s analyze %s/capture.bin --rate 250M\n", ctx.program.c_str(),
              dir.c_str());
}

}  // namespace

std::unique_ptr<Command> demo_command() {
  return std::make_unique<DemoCommand>();
}

}  // namespace tool
