// run-emulated: runs a command on the emulated USB bus.
//
//   run-emulated [--boards N] [--deny-access | --busy] [--unplug B:K | B:Tms | B:Nbytes]
//                [--no-serial] [--bitbang-multiple M] [--virtual-clock] [--stats]
//                [--] COMMAND [ARGS...]
//
// Puts the emulator's libusb-1.0.so.0 (the lib/ directory next to this program) first on
// LD_LIBRARY_PATH, sets the emulator's variables (usbemu/README.md) and executes the command in
// its place, so the command's exit status is the runner's.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "run-emulated: %s\n", message);
  std::fprintf(stderr,
               "usage: run-emulated [--boards N] [--deny-access | --busy] [--unplug B:K | "
               "--unplug B:Tms | --unplug B:Nbytes]\n"
               "                    [--no-serial] [--bitbang-multiple M] [--virtual-clock] "
               "[--stats] [--] COMMAND [ARGS...]\n"
               "  --boards N      emulated boards on the bus (default 1; keys EMU00001, ...)\n"
               "  --deny-access   opening a device fails with LIBUSB_ERROR_ACCESS\n"
               "  --busy          another program holds every channel: claiming one fails\n"
               "  --unplug B:K    board B (from 1) leaves the bus after K bulk transfers\n"
               "  --unplug B:Tms  board B leaves the bus T ms after the first USB call\n"
               "  --unplug B:Nbytes  board B leaves the bus once its data ports sent N bytes\n"
               "  --no-serial     the boards' EEPROMs hold no serial number\n"
               "  --bitbang-multiple M  the bit-bang clock is M (1, 4, 16) times the baud rate\n"
               "  --virtual-clock waits are skipped (single-threaded programs)\n"
               "  --stats         print the emulator's own CPU time at exit\n"
               "example: run-emulated build/tools/vrx5200 list\n");
  std::exit(2);
}

std::string program_dir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  const std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool all_digits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  for (; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) {
      ++i;
      break;
    }
    if (a[0] != '-') break;
    if (std::strcmp(a, "--boards") == 0) {
      if (++i == argc || !all_digits(argv[i])) usage("--boards needs a number");
      setenv("VRX5200_EMULATED_BOARDS", argv[i], 1);
    } else if (std::strcmp(a, "--deny-access") == 0) {
      setenv("VRX5200_EMULATED_DENY_ACCESS", "1", 1);
    } else if (std::strcmp(a, "--busy") == 0) {
      setenv("VRX5200_EMULATED_BUSY", "1", 1);
    } else if (std::strcmp(a, "--unplug") == 0) {
      if (++i == argc || std::strchr(argv[i], ':') == nullptr)
        usage("--unplug needs BOARD:TRANSFERS, BOARD:MILLISECONDSms or BOARD:BYTESbytes");
      setenv("VRX5200_EMULATED_UNPLUG", argv[i], 1);
    } else if (std::strcmp(a, "--no-serial") == 0) {
      setenv("VRX5200_EMULATED_NO_SERIAL", "1", 1);
    } else if (std::strcmp(a, "--bitbang-multiple") == 0) {
      if (++i == argc || !all_digits(argv[i])) usage("--bitbang-multiple needs 1, 4 or 16");
      setenv("VRX5200_EMULATED_BITBANG_MULTIPLE", argv[i], 1);
    } else if (std::strcmp(a, "--virtual-clock") == 0) {
      setenv("VRX5200_EMULATED_CLOCK", "virtual", 1);
    } else if (std::strcmp(a, "--stats") == 0) {
      setenv("VRX5200_EMULATOR_STATS", "1", 1);
    } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      usage(nullptr);
    } else {
      usage((std::string("unknown option ") + a).c_str());
    }
  }
  if (i >= argc) usage("no command given");
  if (getenv("VRX5200_EMULATED_DENY_ACCESS") && getenv("VRX5200_EMULATED_BUSY"))
    usage("--deny-access and --busy exclude each other");

  const std::string lib = program_dir() + "/lib";
  if (access((lib + "/libusb-1.0.so.0").c_str(), R_OK) != 0) {
    std::fprintf(stderr, "run-emulated: %s/libusb-1.0.so.0 is missing (build the usbemu target)\n",
                 lib.c_str());
    return 2;
  }
  const char* old = getenv("LD_LIBRARY_PATH");
  const std::string path = old != nullptr && *old != '\0' ? lib + ":" + old : lib;
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  execvp(argv[i], argv + i);
  std::fprintf(stderr, "run-emulated: cannot run %s: %s\n", argv[i], std::strerror(errno));
  return 127;
}
