// The vrx5200 tool run as a user runs it: exit codes, output files byte-exact against the
// simulated board's signal and against the library's own file read-back, the output formats, the
// messages for a missing board, a bad file and a bad argument, and the shell completion and
// manual page built beside it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "sim/vrx5200sim.h"
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
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string tool_dir() {
  const std::string tool = VRX5200_TOOL;
  return tool.substr(0, tool.rfind('/'));
}

class ToolTest : public ::testing::Test {
 protected:
  // A directory of this test's own: the tests run side by side in separate processes.
  std::string dir = ::testing::TempDir() + "vrx5200_tool_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
  void SetUp() override {
    ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  }
  void TearDown() override { remove_if_passed(dir); }
  // Runs a shell command line in the test's directory; "TOOL" stands for the tool's path.
  ToolRun shell(std::string line) {
    for (size_t at; (at = line.find("TOOL")) != std::string::npos;)
      line.replace(at, 4, "'" VRX5200_TOOL "'");
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    const std::string cmd = "cd '" + dir + "' && { " + line + " ; } >'" + out + "' 2>'" + err + "'";
    const int status = std::system(cmd.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
  }
  ToolRun run(const std::string& args) { return shell("TOOL " + args); }
  std::string file(const std::string& name) { return slurp(dir + "/" + name); }
  // The simulated board's first capture in a fresh process.
  static std::vector<uint16_t> expected_capture(size_t n) {
    sim::Board board("EXPECTED");
    std::vector<uint16_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = board.sample(0, i);
    return out;
  }
  static std::string bytes_of(const std::vector<uint16_t>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), 2 * samples.size());
  }
};

TEST_F(ToolTest, ListsAndDescribesTheSimulatedBoard) {
  ToolRun r = run("--sim list");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "0 SIM00001\n");
  r = run("--sim info");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "family ID 0x52\nfirmware version 0x13\nbusy 0\n");
  r = run("--sim reg read 0x0E");
  EXPECT_EQ(r.out, "0x13\n");
  EXPECT_EQ(run("--sim reg write 5 0x42").exit_code, 0);
}

TEST_F(ToolTest, ListsAndDescribesInJson) {
  ToolRun r = run("--sim list --json");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "{\"boards\": [{\"number\": 0, \"serial_key\": \"SIM00001\"}]}\n");
  r = run("--sim info --json");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"serial_key\": \"SIM00001\", \"family_id\": 82, \"firmware_version\": 19, "
            "\"busy\": false}\n");
}

TEST_F(ToolTest, CapturesByteExactToRawCsvAndStandardOutput) {
  ToolRun r = run("--sim capture -n 65568 -o raw.bin");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("samples 65568,"), std::string::npos);
  EXPECT_EQ(file("raw.bin"), bytes_of(expected_capture(65568)));

  std::string csv;
  for (uint16_t s : expected_capture(64)) csv += std::to_string(static_cast<int16_t>(s)) + "\n";
  r = run("--sim capture -n 64 --csv -o capture.txt -q");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(file("capture.txt"), csv);
  // The format follows the extension; -O names it whatever the extension.
  EXPECT_EQ(run("--sim capture -n 64 -o by_name.csv -q").exit_code, 0);
  EXPECT_EQ(file("by_name.csv"), csv);
  EXPECT_EQ(run("--sim capture -n 64 -O csv -o forced.bin -q").exit_code, 0);
  EXPECT_EQ(file("forced.bin"), csv);
  EXPECT_EQ(run("--sim capture -n 64 -O raw -o forced.csv -q").exit_code, 0);
  EXPECT_EQ(file("forced.csv"), bytes_of(expected_capture(64)));

  r = run("--sim capture -n 32 -o - --lanes 2,1");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<uint16_t> in = expected_capture(32);
  std::vector<uint16_t> swapped(32);
  for (size_t i = 0; i < 32; ++i) swapped[i] = in[i ^ 1];
  EXPECT_EQ(r.out, bytes_of(swapped));
  EXPECT_NE(r.err.find("samples 32"), std::string::npos);  // the summary leaves stdout alone

  // Without -o the samples go to standard output when it is not a terminal; no file appears.
  // Standard output by any name holds the samples alone, the summary going to standard error.
  for (const char* args : {"-q", "", "-o /dev/stdout", "-o /dev/stdout --json"}) {
    r = run(std::string("--sim capture -n 64 ") + args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, bytes_of(expected_capture(64))) << args;
    EXPECT_EQ(r.err.find("samples") < 3, std::string(args) != "-q") << args;
  }
  EXPECT_FALSE(exists(dir + "/capture.bin"));
}

// The lane list and the bit operations are the library's: the tool's output equals, byte for
// byte, what the library's file read-back writes for the same capture, across block boundaries
// where frames are carried over.
TEST_F(ToolTest, LanesAndBitOperationsMatchTheLibrarysFileReadBack) {
  struct Case {
    const char* lanes;
    std::vector<int32_t> lane_list;
    const char* ops;
    std::vector<int32_t> codes, operands;
  };
  const Case cases[] = {
      {"1", {1}, "", {}, {}},
      {"0,1", {0, 1}, "", {}, {}},
      {"2,0,1", {2, 0, 1}, "xor:0xFF", {1}, {0xFF}},
      {"3,1,2", {3, 1, 2}, "0:-2,2:0x7FFC", {0, 2}, {-2, 0x7FFC}},
      {"1,0,0,0,0,0,0,2", {1, 0, 0, 0, 0, 0, 0, 2}, "not,3:1", {4, 3}, {0, 1}},
  };
  const int32_t samples = 3 * 65536 + 96;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lanes);
    std::string args =
        "--sim capture -n " + std::to_string(samples) + " -q -o tool.bin --lanes " + c.lanes;
    if (*c.ops != '\0') args += std::string(" --ops ") + c.ops;
    const ToolRun r = run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;

    // The same capture through the library in this process, on a fresh simulated machine.
    VRX5200BrdCtrl_Close_Session();
    VRXSim_Reset();
    int32_t count = 0, length = 0, number = 0;
    char keys[901] = {};
    ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length), 0);
    ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(number, count), 0);
    ADC_Session_Params adc{};
    adc.Rate_Factor = 2;
    adc.Rate = 250e6;
    ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc), 0);
    ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(samples, nullptr, 0, 0, 0), 0);
    const std::string reference = dir + "/library.bin";
    std::vector<uint16_t> copy(65536 + 14);
    int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
    while (more == 1) {
      ASSERT_EQ(VRX5200BrdCtrl_Read_DDR_to_File(
                    reference.c_str(), nullptr, copy.data(), c.lane_list.data(),
                    static_cast<int32_t>(c.lane_list.size()), c.codes.data(), c.operands.data(),
                    static_cast<int32_t>(c.codes.size()), 10000, &this_call, &write_index, &status,
                    &timeout, &more),
                0);
    }
    VRX5200BrdCtrl_Close_Session();
    const std::string want = slurp(reference);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(file("tool.bin"), want);
  }
}

TEST_F(ToolTest, WritesNpyFiles) {
  struct Case {
    const char* args;
    const char* descr;
    uint16_t offset;  // what the tool's CSV and npy add to two's complement samples
  };
  const Case cases[] = {
      {"-o capture.npy", "'<i2'", 0},
      {"-O npy -o capture.npy --offset-binary", "'<u2'", 0},
      {"-O npy -o - > capture.npy", "'<i2'", 0},
  };
  const size_t n = 96;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = shell("TOOL --sim capture -n 96 -q " + std::string(c.args));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string npy = file("capture.npy");
    ASSERT_GT(npy.size(), 10u);
    EXPECT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    const size_t header = static_cast<uint8_t>(npy[8]) | static_cast<uint8_t>(npy[9]) << 8;
    EXPECT_EQ((10 + header) % 64, 0u);  // the data aligned
    const std::string dict = npy.substr(10, header);
    EXPECT_EQ(dict.substr(0, 1), "{");
    EXPECT_EQ(dict.back(), '\n');
    EXPECT_NE(dict.find(std::string("'descr': ") + c.descr), std::string::npos) << dict;
    EXPECT_NE(dict.find("'fortran_order': False"), std::string::npos) << dict;
    EXPECT_NE(dict.find("'shape': (96,)"), std::string::npos) << dict;
    EXPECT_EQ(npy.substr(10 + header), bytes_of(expected_capture(n)));
  }
}

// Every write is checked: a full disk, a missing directory or a closed pipe is a failure that
// names the file, with exit status 3.
TEST_F(ToolTest, FailedWritesFailNamingTheFile) {
  struct Case {
    const char* line;
    const char* names;
  };
  const Case cases[] = {
      {"TOOL --sim capture -n 65536 -o /dev/full", "\"/dev/full\""},
      {"TOOL --sim capture -n 64 -o /dev/full", "\"/dev/full\""},
      {"TOOL --sim capture -n 64 -O csv -o /dev/full", "\"/dev/full\""},
      {"TOOL --sim capture -n 64 -o /dev/full -O npy", "\"/dev/full\""},
      {"TOOL --sim capture -n 64 -o - >/dev/full", "standard output"},
      {"TOOL --sim capture -n 64 --csv -o - >/dev/full", "standard output"},
      {"TOOL --sim capture -n 64 -o missing/capture.bin", "\"missing/capture.bin\""},
      {"TOOL --sim list >/dev/full", "standard output"},
      {"TOOL --sim info --json >/dev/full", "standard output"},
      {"TOOL --sim capture -n 64 -o /dev/null --json >/dev/full", "standard output"},
      {"TOOL generate tone --cycles 5 -n 64 -o /dev/full", "\"/dev/full\""},
      {"TOOL generate tone --cycles 5 -n 64 -o - >/dev/full", "standard output"},
      {"TOOL generate tone --cycles 67 -n 4096 -o p.bin && TOOL analyze p.bin >/dev/full",
       "standard output"},
      {"TOOL --help >/dev/full", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ToolRun r = shell(c.line);
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("samples"), std::string::npos);  // no summary of a failed capture
  }
}

// A failed, refused or interrupted command leaves every file as it was: the target byte for byte,
// no temporary beside it; a capture keeps what it read only with --keep-partial, as
// NAME.partial.EXT with a header that claims the samples it holds.
TEST_F(ToolTest, FailuresLeaveOutputsAsTheyWere) {
  // Stops a capture once its temporary has data: stopped, then signalled, then continued, so that
  // the signal finds it part-way whatever the machine's speed.
  const auto interrupt = [](const std::string& args, const std::string& target) {
    return "TOOL --sim capture -n 1073741824 -q " + args +
           " & p=$!; n=0; while [ $n -lt 3000 ] && "
           "[ -z \"$(find . -maxdepth 1 -name '." +
           target +
           ".*' -size +1)\" ]; do "
           "sleep 0.01; n=$((n+1)); done; kill -STOP $p; kill -TERM $p; kill -CONT $p; wait $p";
  };
  struct Case {
    std::string line;     // run in a directory that holds out.bin, out.npy, out.csv, DAC_test.bin
    int exit_code;        // of the line (143: ended by SIGTERM)
    const char* partial;  // the partial file it must leave, empty for none
  };
  const Case cases[] = {
      {"TOOL --sim capture -n 64 -o out.bin --patterns 1,2 --timeout 100", 1, ""},
      {"TOOL --sim capture -n 64 -o out.npy --patterns 1,2 --timeout 100 --keep-partial", 1, ""},
      {"TOOL --sim capture -n 100 -o out.bin", 2, ""},
      {"TOOL --sim capture -n 64 -o out.bin --rate 1e-300", 2, ""},
      {interrupt("-o out.npy", "out.npy"), 143, ""},
      {interrupt("-o out.npy --keep-partial", "out.npy"), 143, "out.partial.npy"},
      {interrupt("-o out.bin --keep-partial", "out.bin"), 143, "out.partial.bin"},
      {interrupt("-o out.csv --keep-partial", "out.csv"), 143, "out.partial.csv"},
      {"TOOL --sim capture -n 64 -O sigmf -o out --patterns 1,2 --timeout 100", 1, ""},
      {interrupt("-O sigmf -o out", "out.sigmf-data"), 143, ""},
      {interrupt("-O sigmf -o out.sigmf-meta --keep-partial", "out.sigmf-data"), 143,
       "out.partial.sigmf-meta"},
      {"TOOL generate tone --frequency 60M -o out.bin", 2, ""},
      {"TOOL generate tone --cycles 3 -n 1 -o out.bin", 2, ""},
      {"TOOL convert . -d .", 3, ""},
      {"TOOL convert missing.txt -d .", 3, ""},
      {"printf '1\\n2\\n' > two.txt && TOOL --sim play --text two.txt --keep .", 1, ""},
      {"TOOL --sim play --tone 1M --tone-words 100 --keep new", 2, ""},
      {"TOOL --sim demo --dir . ", 3, ""},
      {"TOOL --sim demo --dir new >/dev/full", 3, ""},
  };
  const std::vector<std::string> targets = {"out.bin",        "out.npy",        "out.csv",
                                            "out.sigmf-data", "out.sigmf-meta", "DAC_test.bin",
                                            "capture.bin"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'/* '" + dir + "'/.[!.]*").c_str()), 0);
    for (const std::string& t : targets) std::ofstream(dir + "/" + t) << "the user's " << t;
    const ToolRun r = shell(c.line);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    for (const std::string& t : targets) EXPECT_EQ(file(t), "the user's " + t);
    // Nothing else is left: no temporary, no private directory, no partial unless asked.
    std::vector<std::string> names = targets;
    names.insert(names.end(), {"stderr", "stdout"});
    // A partial recording: its metadata (named in the message) and its samples.
    std::string kept = c.partial;
    if (kept.ends_with(".sigmf-meta")) kept.replace(kept.size() - 4, 4, "data");
    if (*c.partial != '\0') names.push_back(c.partial);
    if (kept != c.partial) names.push_back(kept);
    if (c.line.find("two.txt") != std::string::npos) names.push_back("two.txt");
    std::sort(names.begin(), names.end());
    std::string want;
    for (const std::string& name : names) want += name + "\n";
    EXPECT_EQ(shell("ls -A | LC_ALL=C sort").out, want);
    if (*c.partial == '\0') continue;
    EXPECT_NE(r.err.find("are kept in \"" + std::string(c.partial) + "\""), std::string::npos)
        << r.err;
    if (kept != c.partial) {
      const ToolRun a = run(std::string("analyze ") + c.partial + " --json");
      EXPECT_EQ(a.exit_code, 0) << a.err;
      EXPECT_NE(
          file(c.partial).find("\"core:sample_count\": " + std::to_string(file(kept).size() / 2)),
          std::string::npos);
    }
    const std::string partial = file(kept);
    size_t samples = 0, data = 0;
    if (std::string(c.partial).ends_with(".npy")) {
      // The header claims exactly the samples that follow it; the tool's analyze checks that.
      const size_t header = static_cast<uint8_t>(partial[8]) | static_cast<uint8_t>(partial[9])
                                                                   << 8;
      data = 10 + header;
      samples = (partial.size() - data) / 2;
      EXPECT_NE(partial.find("'shape': (" + std::to_string(samples) + ",)"), std::string::npos);
      EXPECT_EQ(run(std::string("analyze ") + c.partial + " --json").exit_code, 0);
      if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") == 0) {
        EXPECT_EQ(shell(std::string("/usr/bin/python3 -c 'import numpy; print(len(numpy.load(\"") +
                        c.partial + "\")))'")
                      .out,
                  std::to_string(samples) + "\n");
      }
    } else if (std::string(c.partial).ends_with(".csv")) {
      samples = static_cast<size_t>(std::count(partial.begin(), partial.end(), '\n'));
    } else {
      samples = partial.size() / 2;
    }
    // The samples read are the board's first ones, complete blocks of them.
    ASSERT_GT(samples, 0u);
    EXPECT_EQ(samples % 65536, 0u);
    const std::vector<uint16_t> want_samples = expected_capture(std::min<size_t>(samples, 65536));
    if (data > 0 || partial.size() == 2 * samples) {
      EXPECT_EQ(partial.substr(data, 2 * want_samples.size()), bytes_of(want_samples));
    }
  }
}

// The samples stream to the output as they arrive: a named pipe gets them all, the null device
// is summarised in full, and nothing is kept on the side.
TEST_F(ToolTest, StreamsToPipesAndTheNullDevice) {
  // (A tool that waits for its own output to come back would wait for ever: timeout(1) ends it.)
  ToolRun r = shell(
      "mkfifo fifo && { cat fifo >piped.bin & } && timeout 600 TOOL --sim capture "
      "-n 131104 -o fifo -q; status=$?; wait; exit $status");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(file("piped.bin"), bytes_of(expected_capture(131104)));

  r = run("--sim capture -n 131104 -o /dev/null");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 30), "samples 131104, min -29007, ma");

  // A reader that stops early ends the tool (by the pipe's signal) and leaves no file behind.
  r = shell(
      "mkdir head tmp && cd head && TMPDIR=\"$PWD/../tmp\" TOOL --sim capture -n 1048576 | "
      "head -c 10 >/dev/null; find . ../tmp -mindepth 1");
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolTest, SummaryIsInHertzWhenTheOutputsRateIsKnown) {
  struct Case {
    const char* args;
    const char* summary;  // a part of the summary
  };
  const Case cases[] = {
      {"", "strongest tone 3.89481 MHz (bin 4084 of 262144 at 250 MHz)"},
      {"--rate 125M", "strongest tone 1.9474 MHz (bin 4084 of 262144 at 125 MHz)"},
      {"--rate 125e6 --rate-factor 4", "at 250 MHz)"},
      {"--rate 250MHz --half-rate 1 --r1 1", "at 125 MHz)"},
      {"--lanes 1,0", "at 125 MHz)"},
      // Samples not evenly spaced in time have no tone to name, and a warning says why.
      {"--lanes 2,1", "strongest tone withheld"},    // reordered: no single rate
      {"--lanes 1,0,0", "strongest tone withheld"},  // the lane phase restarts every block
      {"--lanes 0,0,1", "strongest tone withheld"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = run("--sim capture -n 262144 -o /dev/null " + std::string(c.args));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    const bool uneven = std::string(c.summary).find("withheld") != std::string::npos;
    EXPECT_EQ(r.err.find("vrx5200: warning: uneven_samples: the samples are not evenly spaced") !=
                  std::string::npos,
              uneven)
        << r.err;
  }
}

TEST_F(ToolTest, CaptureSummaryInJson) {
  ToolRun r = run("--sim capture -n 65536 -o capture.bin --json");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::regex summary(
      "\\{\"samples\": 65536, \"min_code\": -29007, \"max_code\": 29009, \"mean_code\": "
      "[-0-9.e]+, \"rms_code\": 20506\\.[0-9]+, \"fft_size\": 65536, \"tone_bin\": 1021, "
      "\"tone_fraction\": 0\\.0155792236328125, \"sample_rate_hz\": 250000000, \"tone_hz\": "
      "3894805\\.908203125, \"output\": \"capture.bin\", \"format\": \"raw\", \"warnings\": "
      "\\[\\]\\}\n");
  EXPECT_TRUE(std::regex_match(r.out, summary)) << r.out;

  // Samples on standard output: the object goes to standard error; no rate for reordered lanes.
  r = run("--sim capture -n 32 -o - --lanes 2,1 --json");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.size(), 64u);
  EXPECT_NE(r.err.find("\"tone_bin\": null, \"tone_fraction\": null, \"sample_rate_hz\": null, "
                       "\"tone_hz\": null, \"output\": \"-\", \"format\": \"raw\", "
                       "\"warnings\": [{\"code\": \"uneven_samples\""),
            std::string::npos)
      << r.err;
}

TEST_F(ToolTest, ConvertsAndPlaysIntoTheBoardsMemory) {
  std::ofstream(dir + "/samples.txt") << [] {
    std::string s;
    for (int i = 0; i < 4096; ++i) s += std::to_string(i * 7 - 14000) + "\n";
    return s;
  }();
  // The conversion goes to a private directory under TMPDIR, removed afterwards.
  ToolRun r = shell("mkdir tmp && TMPDIR=\"$PWD/tmp\" TOOL --sim play --text samples.txt --verify");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("pattern verified"), std::string::npos);
  EXPECT_EQ(shell("ls -A tmp").out, "");
  EXPECT_FALSE(exists(dir + "/DAC_test.bin"));
  // So does a generated tone's pattern; looped back, the tone is made at the board's sample
  // rate (one word a sample), so that it is captured at the frequency asked for.
  r = shell("TMPDIR=\"$PWD/tmp\" TOOL --sim play --tone 1M --verify");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = shell("TMPDIR=\"$PWD/tmp\" TOOL --sim loopback --tone 10M -n 65536 -o loop.bin");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("strongest tone 9.99832 MHz"), std::string::npos) << r.out;
  EXPECT_EQ(shell("ls -A tmp").out, "");

  r = run("convert samples.txt -d . --twos-complement");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  const std::string bin = file("DAC_test.bin");
  ASSERT_EQ(bin.size(), 8192u);
  EXPECT_EQ(static_cast<int16_t>(static_cast<uint8_t>(bin[2]) | static_cast<uint8_t>(bin[3]) << 8),
            7 - 14000);

  // --keep puts the converted pattern where the user says.
  r = run("--sim play --text samples.txt --twos-complement --keep kept --verify");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(file("kept/DAC_test.bin"), bin);
}

// The default lane map follows the column count: each column a little-endian word.
TEST_F(ToolTest, DefaultLaneMapFollowsTheColumns) {
  std::ofstream(dir + "/iq.txt") << "0,100\n1000,-1000\n";
  std::ofstream(dir + "/three.txt") << "1,2,3\n4,5,6\n";
  struct Case {
    const char* args;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"iq.txt --columns 2 --twos-complement", {0x00, 0x00, 0x64, 0x00, 0xE8, 0x03, 0x18, 0xFC}},
      {"iq.txt --columns 2 --lane-map -1,1,-2,2 --twos-complement",
       {0x00, 0x00, 0x64, 0x00, 0xE8, 0x03, 0x18, 0xFC}},
      {"iq.txt --columns 2", {0x00, 0x80, 0x64, 0x80, 0xE8, 0x83, 0x18, 0x7C}},
      {"three.txt --columns 3 --twos-complement", {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = run(std::string("convert -d . ") + c.args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file("DAC_test.bin"), std::string(c.bytes.begin(), c.bytes.end()));
  }
  std::ofstream iq(dir + "/iq32.txt");
  for (int i = 0; i < 32; ++i) iq << i << "," << -i << "\n";
  iq.close();
  const ToolRun r = run("--sim play --text iq32.txt --columns 2 --verify");
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// Tokens that are not whole numbers, and numbers beyond 16 bits, still convert as the library
// reads them; the tool says how many lines held them.
TEST_F(ToolTest, WarnsAboutTokensTheConversionCannotKeep) {
  struct Case {
    const char* text;
    const char* args;
    const char* warning;  // empty: none
  };
  const Case cases[] = {
      {"1\n-2\n+3\n", "", ""},
      {" 7 \r\n8\t\n", "", ""},
      {"1\nabc\n3\n", "",
       "1 of 3 lines of \"in.txt\" hold tokens that are not whole decimal "
       "numbers, converted as their leading digits or 0 (first: line 2)"},
      {"1.5\n2\n3x\n-\n", "", "3 of 4 lines"},
      {"1,2\n3,x\n4\n", "--columns 2", "1 of 3 lines"},
      {"1,2\n3,x\n4\n", "--columns 2", "1 of 3 lines of \"in.txt\" have fewer than 2 columns"},
      {"1;2\n3;4\n", "--columns 2 --delimiters ';'", ""},
      {"-32768\n32767\n", "", ""},
      {"0\n40950\n-40000\n", "",
       "2 of 3 lines of \"in.txt\" hold numbers outside -32768 to 32767 (offset binary), "
       "converted as their low 16 bits (first: line 2)"},
      {"65535\n", "--twos-complement", ""},
      {"65536\n99999999999\n", "--twos-complement", "2 of 2 lines"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(dir + "/in.txt") << c.text;
    const ToolRun r = run(std::string("convert in.txt -d . ") + c.args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    if (*c.warning == '\0') {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(std::string("vrx5200: warning: ") + c.warning), std::string::npos)
          << r.err;
    }
  }
}

TEST_F(ToolTest, DemoWritesIntoADirectoryOfItsOwn) {
  ToolRun r = run("--sim demo");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("its files go to vrx5200-demo/"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1. boards found: 1 (SIM00001)\n"), std::string::npos) << r.out;
  for (const char* name : {"demo_fpga.rbf", "capture.bin", "demo_samples.txt", "DAC_test.bin"}) {
    EXPECT_TRUE(exists(dir + "/vrx5200-demo/" + name)) << name;
    EXPECT_FALSE(exists(dir + "/" + name)) << name;
  }
  EXPECT_EQ(file("vrx5200-demo/capture.bin"), bytes_of(expected_capture(1 << 20)));
  r = run("--sim demo");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("its files go to vrx5200-demo-2/"), std::string::npos) << r.out;

  // A directory given with --dir: made when missing, its demo files never overwritten.
  std::ofstream(dir + "/capture.bin") << "mine";
  r = run("--sim demo --dir .");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("does not overwrite"), std::string::npos) << r.err;
  EXPECT_EQ(file("capture.bin"), "mine");
  EXPECT_FALSE(exists(dir + "/demo_fpga.rbf"));
}

// Exit status: 0 success, 1 the board or the library failed, 2 bad command line, 3 file I/O.
// What the tool can check itself is refused before any board is opened (the simulated board's
// transcript of an FPGA load or a capture start never appears), and leaves no output behind.
TEST_F(ToolTest, ExitCodes) {
  struct Case {
    const char* line;  // a shell command line; TOOL is the tool
    int exit_code;
    const char* message;  // a part of standard error
  };
  const Case cases[] = {
      {"TOOL --help", 0, ""},
      {"TOOL --sim capture --help", 0, ""},
      // Global options may follow the subcommand; --board takes the number list prints.
      {"TOOL capture -n 64 -o ok.bin -q --sim", 0, ""},
      {"TOOL info --board 0 --sim", 0, ""},
      {"TOOL --sim --board SIM00001 info", 0, ""},
      {"TOOL generate tone --cycles 67 -n 4096 -o - | TOOL analyze - --json >/dev/null", 0, ""},
      // A .npy file is known by its content, whatever its name.
      {"TOOL --sim capture -n 4096 -O npy -o npy.bin -q && TOOL analyze npy.bin --json | grep -q "
       "'\"samples\": 4096,'",
       0, ""},
      {"TOOL --sim --board 1 info", 1, "no board with serial key or number \"1\""},
      {"TOOL --sim capture", 2, "--samples is required"},
      {"TOOL --sim frobnicate", 2, "unknown subcommand \"frobnicate\"; the subcommands are list,"},
      {"TOOL --sim reg frob 1", 2, "unknown reg subcommand \"frob\"; the reg subcommands are read"},
      {"TOOL --sim reg", 2, "give a reg subcommand: read, write"},
      {"TOOL --sim", 2, "give a subcommand: list, info,"},
      {"TOOL --sim capture -n 64 --frobnicate", 2, "frobnicate"},
      {"TOOL --sim capture -n x", 2, ""},
      {"TOOL --sim capture -n 64 -O wav", 2, "wav"},
      {"TOOL --sim capture -n 64 -O raw --csv", 2, ""},
      {"TOOL --sim capture -n 64 -q --json", 2, ""},
      {"TOOL --sim capture -n 100 -o x.bin", 2,
       "bad sample count 100: the capture length is not a positive multiple of 32"},
      {"TOOL --sim capture -n 0 -o x.bin", 2, "bad sample count 0"},
      {"TOOL --sim capture -n -32 -o x.bin", 2, "bad sample count -32"},
      {"TOOL --sim capture -n 64 -o x.bin --timeout -1", 2, "--timeout"},
      {"TOOL --sim capture -n ' 64' -o x.bin", 2, "--samples"},
      {"TOOL --sim reg read 16", 2, "bad register address: \"16\" (0 to 15, decimal or 0x hex)"},
      {"TOOL --sim reg read -1", 2, "bad register address: \"-1\" (0 to 15, decimal or 0x hex)"},
      {"TOOL --sim reg read 0x", 2, "bad register address"},
      {"TOOL --sim reg write 3 256", 2,
       "bad register value: \"256\" (0 to 255, decimal or 0x hex)"},
      {"TOOL --sim capture -n 64 -o x.bin --ops 5:1", 2, "bad bit operation \"5:1\""},
      {"TOOL --sim capture -n 64 -o x.bin --ops 0:16", 2, "bad shift count"},
      {"TOOL --sim capture -n 64 -o x.bin --ops 1", 2, "give its operand"},
      {"TOOL --sim capture -n 64 -o x.bin --ops xor:0x10000", 2,
       "bad operand: \"0x10000\" (0 to 65535"},
      {"TOOL --sim capture -n 64 -o x.bin --lanes 1,2,", 2, "\"\" is not a whole number"},
      {"TOOL --sim capture -n 64 -o x.bin --rate -1", 2, "bad rate: \"-1\""},
      {"TOOL --sim capture -n 64 -o x.bin --rate nan", 2, "bad rate: \"nan\""},
      {"TOOL --sim capture -n 64 -o x.bin --rate inf", 2, "bad rate"},
      {"TOOL --sim capture -n 64 -o x.bin --rate 5X", 2, "bad rate"},
      {"TOOL --sim capture -n 64 -o x.bin --rate 99999999999G", 2, "1 Hz to 100 GHz"},
      {"TOOL --sim capture -n 64 -o x.bin --rate 1e-300", 2, "bad rate"},
      {"TOOL --sim capture -n 64 -o x.bin --rate 0x10", 2, "bad rate"},
      {"TOOL --sim capture -n 64 -o x.bin --rate-factor 0", 2, "--rate-factor"},
      {"TOOL --sim capture -n 64 -o x.bin --lanes 1,1", 2, "lane 1 is named twice"},
      {"TOOL --sim capture -n 64 -o x.bin --lanes 2,0", 2, "bad lane list"},
      {"TOOL --sim capture -n 64 -o x.bin --lanes 16", 2, "bad lane list"},
      {"TOOL --sim play --text t.txt --rate 0", 2, "bad rate"},
      {"TOOL --sim play --text t.txt --divisor 0", 2, "--divisor"},
      {"TOOL --sim play", 2, "give a pattern"},
      {"TOOL --sim play --binary t.txt --text t.txt", 2, "--binary excludes --text"},
      {"TOOL --sim play --tone 10M --tone-words 100", 2, "bad --tone-words 100"},
      {"TOOL --sim play --tone 10M --tone-dbfs inf", 2, "--tone-dbfs"},
      {"TOOL --sim play --binary x.bin --columns 2", 2, "--columns requires --text"},
      {"TOOL --sim loopback --tone 10M --dac-rate 5M -o x.bin", 2, "--dac-rate"},
      {"TOOL --sim loopback --tone 10M -n 33 -o x.bin", 2, "bad sample count 33"},
      {"VRX5200_SIM_BOARDS=20 TOOL --sim list", 2,
       "bad number of simulated boards (VRX5200_SIM_BOARDS): \"20\" (a whole number from 1 to 16)"},
      {"VRX5200_SIM_BOARDS=two TOOL --sim serve", 2, "VRX5200_SIM_BOARDS"},
      {"TOOL convert t.txt --columns 11", 2, "1 to 10"},
      {"TOOL generate tone -o x.bin", 2, "generate tone needs --cycles or --frequency"},
      {"TOOL generate tone --frequency 60M --rate 100M -o x.bin", 2, "half the sample rate"},
      {"TOOL generate tone --frequency 10M --cycles 3 -o x.bin", 2, "excludes"},
      {"TOOL generate tone --cycles 3 --dbfs nan -o x.bin", 2, "--dbfs"},
      {"TOOL generate tone --cycles 3 --seed 2 -o x.bin", 2, "--seed does not apply to tone"},
      {"TOOL generate noise --cycles 3 -o x.bin", 2, "(only to tone and ramp)"},
      {"TOOL generate tone --cycles 3 --rate 50M -o x.bin", 2, "with --cycles it would be ignored"},
      {"TOOL generate multitone -o x.bin", 2, "needs --tones"},
      {"TOOL analyze t.txt --two-tone --linearity", 2, "excludes"},
      {"TOOL analyze t.txt --rate 0x10", 2, "bad rate"},
      {"TOOL analyze t.txt --capture last", 2, "instead of a file: give one or the other"},
      {"TOOL --sim load missing.rbf", 3, "cannot read \"missing.rbf\": No such file"},
      {"TOOL --sim load .", 3, "cannot read \".\": it is a directory"},
      {": >empty.rbf; TOOL --sim load empty.rbf", 3, "\"empty.rbf\" holds no bytes"},
      {"TOOL --sim load - </dev/null", 3, "standard input holds no bytes"},
      {"TOOL --sim play --binary missing.bin", 3, "cannot read \"missing.bin\": No such file"},
      {"TOOL --sim play --binary .", 3, "cannot read \".\": it is a directory"},
      {"TOOL --sim play --text .", 3, "cannot read \".\": it is a directory"},
      {"TOOL --sim loopback --binary . -o x.bin", 3, "cannot read \".\": it is a directory"},
      // - is standard input for every input file, as it is standard output for every output.
      {"TOOL generate tone --cycles 67 -n 4096 -o - | TOOL --sim play --binary - --verify", 0,
       "pattern verified"},
      {"TOOL --sim play --text - --verify <t.txt", 1, "playback start failed: result 4"},
      {"printf '1\\n-1\\n' | TOOL convert - -d . && od -An -tx1 DAC_test.bin | grep -q "
       "'01 80 ff 7f'",
       0, ""},
      {"head -c 4096 /dev/zero | TOOL --sim load - | grep -q 'successful'", 0, ""},
      {"TOOL convert missing.txt", 3, "cannot read \"missing.txt\""},
      {"TOOL convert t.txt -d missing", 3, "missing/DAC_test.bin"},
      {"TOOL analyze .", 3, "cannot read \".\": Is a directory"},
      {"TOOL analyze missing.bin", 3, "cannot open \"missing.bin\""},
      {"TOOL --sim serve --upload-dir missing", 3, "cannot make the upload directory"},
  };
  std::ofstream(dir + "/t.txt") << "1\n2\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ToolRun r = shell(c.line);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (c.exit_code != 0) {
      EXPECT_EQ(r.err.find("Info:"), std::string::npos) << r.err;
    }
    // A refused command line or a capture that does not start leaves no output.
    if (c.exit_code >= 2) {
      EXPECT_FALSE(exists(dir + "/x.bin"));
    }
  }
  // No board attached is an answer, not a failure (the library of attached boards is built
  // here, and this machine has no board).
  if (exists(tool_dir() + "/../libvrx5200.so")) {
    ToolRun r = run("list");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    r = run("list --json");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"boards\": []}\n");
  }
}

TEST_F(ToolTest, ErrorsNameTheCodeAndWhatToTry) {
  std::ofstream(dir + "/short.bin") << "\x01\x00\x02\x00";
  ToolRun r = run("--sim play --binary short.bin");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("playback start failed: result 4 ("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; use a pattern of 32 words or more"), std::string::npos) << r.err;

  r = run("--sim capture -n 100");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("multiple of 32"), std::string::npos);

  r = run("--sim convert samples.txt --lane-map 1,x");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("bad lane map"), std::string::npos);

  // Without --sim the library of attached boards is needed: either it is missing or it finds no
  // board; both say to try --sim.
  r = run("info");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("--sim"), std::string::npos);
}

TEST_F(ToolTest, VersionAndHelpOfEachSubcommand) {
  ToolRun r = run("--version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("vrx5200 [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;

  // Each subcommand's examples are its own.
  for (const char* sub : {"list", "info", "load", "reg", "reg read", "reg write", "capture", "play",
                          "convert", "demo"}) {
    SCOPED_TRACE(sub);
    r = run(std::string(sub) + " --help");
    EXPECT_EQ(r.exit_code, 0);
    const size_t examples = r.out.find("Examples:\n");
    ASSERT_NE(examples, std::string::npos) << r.out;
    std::istringstream lines(r.out.substr(examples + 10));
    std::string line;
    int count = 0;
    const std::regex own(std::string("  vrx5200 (--[a-z]+ [^ ]+ )*(--sim )?") + sub + "( .*)?");
    while (std::getline(lines, line) && !line.empty()) {
      EXPECT_TRUE(std::regex_match(line, own)) << line;
      ++count;
    }
    EXPECT_GE(count, 2);
  }
}

// The progress bar ends its line before the summary (seen on a terminal, made by script(1)).
TEST_F(ToolTest, ProgressBarEndsItsLine) {
  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
  ToolRun r = shell("script -qec \"TOOL --sim capture -n 262144 -o capture.bin\" /dev/null");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("] 100%\r\nsamples 262144,"), std::string::npos) << r.out;
  // At a terminal the samples need an -o.
  r = shell("script -qec \"TOOL --sim capture -n 64\" /dev/null");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.out.find("give the output: -o FILE"), std::string::npos) << r.out;
}

TEST_F(ToolTest, BashCompletesSubcommandsOptionsAndValues) {
  if (std::system("command -v bash >/dev/null") != 0) GTEST_SKIP() << "no bash";
  const std::string script = tool_dir() + "/vrx5200-completion.bash";
  ASSERT_TRUE(exists(script));
  std::ofstream(dir + "/capture.bin") << "";
  struct Case {
    const char* words;  // the command line up to the cursor
    const char* want;   // the completions, sorted, one a line
  };
  const Case cases[] = {
      {"TOOL cap", "capture\n"},
      {"TOOL --sim c", "capture\nconvert\n"},
      {"TOOL --sim reg ", "read\nwrite\n"},
      {"TOOL --sim capture --o", "--offset-binary\n--ops\n--output\n"},
      {"TOOL list --", "--captures\n--help\n--json\n"},
      {"TOOL --token-file capt", "capture.bin\n"},
      {"TOOL --sim capture -n 64 -O ", "csv\nnpy\nraw\nsigmf\n"},
      {"TOOL --sim capture -o capt", "capture.bin\n"},
      {"TOOL --sim capture --rate ", ""},
      {"TOOL --board ", ""},
      {"TOOL analyze capture.bin --format ", "csv\nnpy\noffset\nraw\nsigmf\ntwos\n"},
      {"TOOL analyze --window b", "blackmanharris\nblackmanharris7\n"},
      {"TOOL generate ", "multitone\nnoise\nramp\ntone\n"},
      {"TOOL generate tone --dbfs -3 --code-format ", "offset\ntwos\n"},
      {"TOOL --sim play --text capt", "capture.bin\n"},
      {"TOOL --ver", "--version\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    const ToolRun r = shell(
        "bash -c 'source \"" + script + "\" && complete -p vrx5200 >/dev/null && COMP_WORDS=(" +
        c.words + ") && COMP_LINE=\"" + c.words +
        "\" && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && "
        "[[ \"$COMP_LINE\" != *\\  ]] || COMP_WORDS+=(\"\") COMP_CWORD=$((COMP_CWORD + 1)); "
        "_vrx5200 && printf \"%s\\n\" \"${COMPREPLY[@]}\" | sed /^$/d | sort'");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.want) << r.err;
  }
}

TEST_F(ToolTest, ManualPageHasEverySubcommandAndTheExitStatus) {
  if (std::system("command -v help2man >/dev/null") != 0) GTEST_SKIP() << "no help2man";
  const std::string page = slurp(tool_dir() + "/vrx5200.1");
  ASSERT_FALSE(page.empty());
  EXPECT_NE(page.find(".SH NAME\nvrx5200 \\- control the VRX5200"), std::string::npos);
  for (const char* sub : {"list", "info", "load", "reg", "reg read", "reg write", "capture", "play",
                          "convert", "demo"}) {
    EXPECT_NE(page.find(std::string(".SS \"vrx5200 ") + sub + "\"\n"), std::string::npos) << sub;
  }
  EXPECT_NE(page.find(".SH \"EXIT STATUS\""), std::string::npos);
  EXPECT_NE(page.find(".SH EXAMPLES\n.nf\n"), std::string::npos);
}

}  // namespace

// The measurement subcommands: a generated pattern analysed reads back what was asked for, in
// each of the analysis modes; a file that is no capture is refused as a file error.
TEST_F(ToolTest, GeneratesAndAnalysesPatterns) {
  struct Case {
    const char* generate;
    const char* analyze;
    const char* want;  // a piece of the JSON answer
  };
  const Case cases[] = {
      {"tone -n 4096 --cycles 67 --dbfs -6", "--json", "\"fundamental_bin\": 67, "},
      {"tone -n 4096 --cycles 67 --dbfs -6", "--rate 100M --json", "\"nsd_dbfs_hz\": "},
      {"tone -n 4096 --frequency 1M --rate 10M", "--json", "\"fundamental_bin\": 409, "},
      {"tone -n 4096 --cycles 67 --dbfs -6", "--rate 4096 --json", "\"worst_spur\": {\"bin\": "},
      {"tone -n 4096 --cycles 67 --code-format offset", "--format offset --json",
       "\"fundamental_bin\": 67, "},
      {"multitone -n 4096 --tones 101,211 --dbfs -3", "--two-tone --json", "\"tone2_bin\": 211"},
      {"multitone -n 4096 --tones 101,211 --dbfs -3", "--two-tone --rate 4096 --json",
       "{\"product\": \"2f1-f2\", \"order\": 3, \"bin\": 9, \"counted\": true, \"level_dbc\": "},
      {"tone -n 65536 --cycles 1021 --dbfs 0.5 --bits 10", "--linearity --bits 10 --json",
       "\"missing_codes\": 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.generate);
    ASSERT_EQ(run(std::string("generate ") + c.generate + " -o p.bin").exit_code, 0);
    const ToolRun r = run(std::string("analyze p.bin ") + c.analyze);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(c.want), std::string::npos) << r.out;
  }
  // The tone's level as printed: -6.00 dBFS.
  ASSERT_EQ(run("generate tone -n 4096 --cycles 67 --dbfs -6 -o p.bin").exit_code, 0);
  EXPECT_NE(run("analyze p.bin").out.find("fundamental: bin 67, -6.00 dBFS"), std::string::npos);
  std::ofstream(dir + "/odd.bin") << "abc";
  EXPECT_EQ(run("analyze odd.bin").exit_code, 3);
  std::ofstream(dir + "/empty.bin").flush();
  EXPECT_NE(run("analyze empty.bin").err.find("holds no samples"), std::string::npos);
  EXPECT_EQ(run("analyze p.bin --window nuttall").exit_code, 2);
  ASSERT_EQ(run("generate tone -n 4096 --cycles 0 -o flat.bin").exit_code, 2);
  // Noise starts at a level where no word clips; asked for louder, the clipping is reported.
  EXPECT_EQ(run("generate noise -o n.bin").err.find("clipped"), std::string::npos);
  EXPECT_NE(run("generate noise --dbfs -1 -o n.bin").err.find("clipped"), std::string::npos);
}
