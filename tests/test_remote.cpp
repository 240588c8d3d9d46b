// The tool on a board behind `vrx5200 --sim serve` on a free loopback port (-u URL): every
// subcommand gives the bytes it gives with --sim on the server's host (standard output, standard
// error, exit code, output files), and every way the server can fail or refuse comes out as one
// line with the documented exit code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

#ifndef VRX5200_TOOL
#error "the tests need the tool's path"
#endif

namespace {

struct ToolRun {
  int exit_code;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(no file)";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A socket bound to a free loopback port.
int bound_socket(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  port = ntohs(a.sin_port);
  return fd;
}

class RemoteTest : public ::testing::Test {
 protected:
  std::string dir = ::testing::TempDir() + "vrx5200_remote_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::vector<pid_t> servers;

  void SetUp() override {
    ASSERT_EQ(
        std::system(
            ("rm -rf '" + dir + "' && mkdir -p '" + dir + "/local' '" + dir + "/remote'").c_str()),
        0);
  }
  void TearDown() override {
    for (pid_t pid : servers) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    remove_if_passed(dir);
  }

  // Every server needs a token: the tool gets this one unless a case names another.
  static constexpr const char* kToken = "remote-test-token-0123456789abcdef";

  // Starts `vrx5200 --sim serve` on a free loopback port with `token` in VRX5200_TOKEN; returns
  // its port, 0 when it did not come up within ten seconds.
  int start_server(const char* token = kToken, int boards = 1) {
    int out[2];
    if (pipe(out) != 0) return 0;
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      setenv("VRX5200_TOKEN", token, 1);
      setenv("VRX5200_SIM_BOARDS", std::to_string(boards).c_str(), 1);
      execl(VRX5200_TOOL, VRX5200_TOOL, "--sim", "serve", "--listen", "127.0.0.1:0", nullptr);
      _exit(127);
    }
    close(out[1]);
    servers.push_back(pid);
    std::string said;
    const std::string mark = "listening on http://127.0.0.1:";
    pollfd p{out[0], POLLIN, 0};
    char buffer[256];
    while (said.find('\n', said.find(mark)) == std::string::npos && poll(&p, 1, 10000) == 1) {
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      said.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    const size_t at = said.find(mark);
    return at == std::string::npos ? 0 : std::atoi(said.c_str() + at + mark.size());
  }

  // One request to the server, as a script makes it; returns the answer's status line and body.
  static std::string http(int port, const std::string& method, const std::string& path,
                          const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      const std::string request =
          method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
          "\r\nAuthorization: Bearer " + kToken +
          "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body;
      if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
      }
    }
    close(fd);
    return answer;
  }

  // Runs the tool in the folder `where` of the test's directory, without the user's server.
  ToolRun run(const std::string& where, const std::string& args, const std::string& env = "") {
    const std::string base = dir + "/" + where;
    const std::string cmd = "cd '" + base + "' && env -u VRX5200_URI -u VRX5200_TOKEN_FILE " +
                            "VRX5200_TOKEN=" + kToken + " " + env + " '" VRX5200_TOOL "' " + args +
                            " >stdout 2>stderr";
    const int status = std::system(cmd.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(base + "/stdout"),
                   slurp(base + "/stderr")};
  }

  void put(const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  }
};

// The table of the tool's board subcommands, run with --sim and with -u against a simulated board
// served on this host: the same exit code, the same standard output and error, the same files.
TEST_F(RemoteTest, GivesTheBytesOfTheSameCommandOnTheServersHost) {
  const int port = start_server();
  ASSERT_NE(port, 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  std::string text;
  for (int i = 0; i < 96; ++i) text += std::to_string((i * 997) % 2000 - 1000) + "\n";
  put("samples.txt", text);
  std::string firmware;
  for (int i = 0; i < 3000; ++i) firmware += static_cast<char>(i * 37);
  put("firmware.rbf", firmware);
  ASSERT_EQ(run("local", "generate tone --cycles 101 --words 4096 -o ../tone.bin").exit_code, 0);
  put("short.bin", slurp(dir + "/tone.bin").substr(0, 62));

  struct Case {
    const char* args;
    std::vector<std::string> files;  // written by the command
    int exit_code;
  };
  const Case cases[] = {
      // First: the server's first capture, as the loopback's model noise follows the capture count.
      {"loopback --tone 10M --harmonics -70,-80 -n 65536 -o loop.bin", {"loop.bin"}, 0},
      {"list", {}, 0},
      {"list --json", {}, 0},
      {"info", {}, 0},
      {"info --json", {}, 0},
      {"reg read 0x0E", {}, 0},
      {"reg write 5 0x42", {}, 0},
      {"reg read 16", {}, 2},
      {"capture -n 65568 -o c.bin", {"c.bin"}, 0},
      {"capture -n 4096 -o c.csv --lanes 2,1 --ops xor:0x00FF,shift:-1", {"c.csv"}, 0},
      {"capture -n 131072 -o c.npy --offset-binary --json", {"c.npy"}, 0},
      {"capture -n 2048 --lanes 0,1 -O csv", {}, 0},
      {"capture -n 100 -o never.bin", {"never.bin"}, 2},
      {"play --binary ../tone.bin --verify", {}, 0},
      {"play --text ../samples.txt --keep kept --verify", {"kept/DAC_test.bin"}, 0},
      {"play --tone 10M --tone-words 8192 --verify", {}, 0},
      {"play --binary ../short.bin", {}, 1},
      {"play --binary ../tone.bin --start-offset 300000", {}, 1},
      {"load ../firmware.rbf", {}, 0},
      {"analyze ../tone.bin --json", {}, 0},
  };
  bool first = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun local = run("local", std::string("--sim ") + c.args);
    const ToolRun remote = run("remote", "-u " + url + " " + c.args);
    EXPECT_EQ(local.exit_code, c.exit_code) << local.err;
    EXPECT_EQ(remote.exit_code, local.exit_code);
    EXPECT_EQ(remote.out, local.out);
    EXPECT_EQ(remote.err, local.err);
    for (const std::string& f : c.files) {
      EXPECT_EQ(slurp(dir + "/remote/" + f), slurp(dir + "/local/" + f)) << f;
    }
    // After the loopback's capture, every capture of the served board is a fresh board's first.
    if (first) {
      EXPECT_NE(http(port, "POST", "/api/v1/sim", R"({"capture_step": 0})"), "");
    }
    first = false;
  }
}

// Everything that can go wrong between the tool and a server: one line each, and the exit codes
// the tool documents (1 the board, the library or the server; 2 the command line; 3 a file).
TEST_F(RemoteTest, FailuresAreOneLineWithTheToolsExitCodes) {
  const int port = start_server();
  const int guarded = start_server("s3cret-s3cret-s3cret-s3cret-s3cret");
  ASSERT_NE(port, 0);
  ASSERT_NE(guarded, 0);
  // A port nothing listens on, and one that takes connections and never answers.
  int closed = 0, silent = 0;
  close(bound_socket(closed));
  const int listener = bound_socket(silent);
  ASSERT_EQ(listen(listener, 4), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  const std::string url_guarded = "http://127.0.0.1:" + std::to_string(guarded);
  put("remote/token", "s3cret-s3cret-s3cret-s3cret-s3cret\n");
  put("remote/no-token", "\n");
  put("remote/spaced-token", " \ts3cret-s3cret-s3cret-s3cret-s3cret \r\n");

  struct Case {
    std::string args, env;
    int exit_code;
    std::string err;  // the whole of standard error, or (ending in "...") its beginning
  };
  const std::string refused = "vrx5200: the server at " + url;
  const Case cases[] = {
      {"-u http://127.0.0.1:" + std::to_string(closed) + " list", "", 1,
       "vrx5200: cannot connect to the server at http://127.0.0.1:" + std::to_string(closed) +
           " (is `vrx5200 serve` running there?)\n"},
      {"-u http://127.0.0.1:" + std::to_string(silent) + " --remote-timeout 0.5 info", "", 1,
       "vrx5200: no answer from the server at http://127.0.0.1:" + std::to_string(silent) +
           " within 0.5 s\n"},
      {"-u http://127.0.0.1:" + std::to_string(silent) + " info", "VRX5200_REMOTE_TIMEOUT=0.3", 1,
       "vrx5200: no answer from the server at http://127.0.0.1:" + std::to_string(silent) +
           " within 0.3 s\n"},
      {"-u ftp://127.0.0.1 list", "", 2, "vrx5200: bad server address \"ftp://127.0.0.1\"..."},
      {"-u http://127.0.0.1:0 list", "", 2, "vrx5200: bad server address..."},
      {"-u 'http://127.0.0.1:8520/#token=x' list", "", 2, "vrx5200: bad server address..."},
      {"list", "VRX5200_URI=http://[::1", 2, "vrx5200: bad server address..."},
      {"-u " + url + " --remote-timeout 0 list", "", 2, "vrx5200: bad server time-out..."},
      {"-u " + url + " --sim list", "", 2, "vrx5200: -u uses the server's board..."},
      {"-u " + url + " serve", "", 2, "vrx5200: serve uses this host's board..."},
      {"-u " + url + " reg read 16", "", 2,
       "vrx5200: bad register address: \"16\" (0 to 15, decimal or 0x hex)\n"},
      {"-u " + url + " capture -n 64 -o x.bin --patterns 1", "", 2,
       "vrx5200: pattern-match captures (--patterns) are not served..."},
      {"-u " + url + " capture -n 33554432 -o x.bin", "", 2,
       refused + " refused the request: \"samples\" must be from 32 to 16777216\n"},
      {"-u " + url + " analyze --capture 999999", "", 3,
       "vrx5200: the server at " + url + " keeps no capture 999999..."},
      {"analyze --capture last", "", 2, "vrx5200: --capture names a capture a server keeps..."},
      {"-u " + url_guarded + " list", "VRX5200_TOKEN=", 1,
       "vrx5200: the server at " + url_guarded +
           " refused the request: this server needs its token (Authorization: Bearer); give its "
           "token in VRX5200_TOKEN or a token file (--token-file)\n"},
      {"-u " + url_guarded + " list", "VRX5200_TOKEN=wrong", 1,
       "vrx5200: the server at " + url_guarded + " refused the request: wrong token\n"},
      {"-u " + url_guarded + " list", "VRX5200_TOKEN=s3cret-s3cret-s3cret-s3cret-s3cret", 0, ""},
      {"-u " + url_guarded + " --token-file token list", "VRX5200_TOKEN=wrong", 0, ""},
      {"-u " + url_guarded + " list", "VRX5200_TOKEN= VRX5200_TOKEN_FILE=token", 0, ""},
      {"list -u " + url_guarded + " --token-file token", "", 0, ""},
      {"-u " + url_guarded + " --token-file spaced-token list", "", 0, ""},
      {"-u " + url_guarded + " --token-file missing list", "", 3,
       "vrx5200: cannot read the token file \"missing\": No such file or directory\n"},
      {"-u " + url_guarded + " --token-file no-token list", "", 3,
       "vrx5200: the token file \"no-token\" does not hold a token (one line)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env + " " + c.args);
    const ToolRun r = run("remote", c.args, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    const bool prefix = c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0;
    if (prefix) {
      EXPECT_EQ(r.err.substr(0, c.err.size() - 3), c.err.substr(0, c.err.size() - 3));
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else {
      EXPECT_EQ(r.err, c.err);
    }
  }
  EXPECT_EQ(slurp(dir + "/remote/x.bin"), "(no file)");
  close(listener);

  // The board fails on the server: the library's result and sentence, as on the board's host;
  // the output file is left as it was. Then the board is back, and so is the tool.
  put("remote/keep.bin", "kept");
  EXPECT_NE(http(port, "POST", "/api/v1/sim", R"({"unplug_after_blocks": 1})"), "");
  ToolRun r = run("remote", "-u " + url + " capture -n 200000 -o keep.bin");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.substr(0, 26), "vrx5200: read-back failed:") << r.err;
  EXPECT_NE(r.err.find("result 10 ("), std::string::npos) << r.err;
  EXPECT_EQ(slurp(dir + "/remote/keep.bin"), "kept");
  r = run("remote", "-u " + url + " info");
  EXPECT_EQ(r.err, "vrx5200: the server at " + url + " has no board\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(http(port, "POST", "/api/v1/sim", R"({"plugged": true})"), "");
  EXPECT_EQ(run("remote", "-u " + url + " reg read 0x0E").out, "0x13\n");
}

// A capture the server keeps is analysed here: the figures of its samples, as of the same samples
// in a file, at the rate the server recorded.
TEST_F(RemoteTest, AnalysesACaptureTheServerKeeps) {
  const int port = start_server();
  ASSERT_NE(port, 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(run("remote", "-u " + url + " capture -n 65536 -o c.npy --offset-binary -q").exit_code,
            0);
  ToolRun r = run("remote", "-u " + url + " list --captures");
  EXPECT_EQ(r.out, "1 65536 samples at 250 MHz, offset binary\n");
  const std::string name = url + "/api/v1/captures/1";
  for (const char* how : {"", " --json", " --linearity sine"}) {
    SCOPED_TRACE(how);
    const ToolRun kept = run("remote", "-u " + url + " analyze --capture last" + std::string(how));
    const ToolRun file = run("remote", "analyze c.npy --rate 250M" + std::string(how));
    ASSERT_EQ(kept.exit_code, 0) << kept.err;
    std::string expected = file.out;
    expected.replace(expected.find("c.npy"), 5, name);
    EXPECT_EQ(kept.out, expected);
  }  // One of reordered lanes: the server knows its samples are not evenly spaced, and says so.
  ASSERT_EQ(run("remote", "-u " + url + " capture -n 65536 -o r.bin --lanes 2,1 -q").exit_code, 0);
  r = run("remote", "-u " + url + " analyze --capture last --json");
  EXPECT_NE(r.out.find("\"snr_db\": null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"warnings\": [{\"code\": \"uneven_samples\""), std::string::npos) << r.out;
}

// A server of two boards: --board chooses one (its key or its number in the list), its
// registers and its captures; each run of the tool ends its use of the board it opened.
TEST_F(RemoteTest, BoardChoosesOneOfTheServersBoards) {
  const int port = start_server(kToken, 2);
  ASSERT_NE(port, 0);
  const std::string url = "-u http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(run("remote", url + " list").out, "0 SIM00001\n1 SIM00002\n");
  EXPECT_EQ(run("remote", url + " --board SIM00002 reg write 5 0x22").exit_code, 0);
  EXPECT_EQ(run("remote", url + " --board 1 reg read 5").out, "0x22\n");
  EXPECT_EQ(run("remote", url + " --board SIM00001 reg read 5").out, "0x00\n");
  ASSERT_EQ(run("remote", url + " --board SIM00002 capture -n 4096 -o b.bin -q").exit_code, 0);
  EXPECT_EQ(run("remote", url + " --board SIM00002 list --captures").out,
            "1 4096 samples at 250 MHz\n");
  EXPECT_EQ(run("remote", url + " list --captures").out, "");  // the default board's
  const ToolRun missing = run("remote", url + " --board SIM00003 info");
  EXPECT_EQ(missing.exit_code, 1) << missing.err;  // as on the server's host
  EXPECT_EQ(missing.err,
            "vrx5200: no board with serial key or number \"SIM00003\" (see: vrx5200 list)\n");
  const std::string boards = http(port, "GET", "/api/v1/boards", "");
  EXPECT_EQ(boards.find("\"uses\":1"), std::string::npos) << boards;
}

}  // namespace
