// Bad inputs to every export: null pointers, negative and huge lengths, lengths that are not
// multiples of 32, missing and unwritable files, very long paths, lists outside the data model,
// board numbers. Each gets a clear code, sends nothing and writes nothing it was not asked to.
#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "support.h"

namespace {

class BadInputTest : public BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    open_board();
  }
  std::vector<uint16_t> buffer = std::vector<uint16_t>(65536 + 64, 0xBEEF);
  int32_t a = 7, b = 7, c = 7, d = 7, e = 7, f = 7;
  const std::string long_path = ::testing::TempDir() + std::string(4096, 'p');

  void start_capture() {
    ADC_Session_Params adc{};
    adc.Rate_Factor = 2;
    adc.Rate = 250e6;
    ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc), 0);
    ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  }
};

TEST_F(BadInputTest, EveryExportRefusesWhatItCannotUse) {
  start_capture();
  const int32_t lanes[] = {1};
  const int32_t map[] = {-1, 1};
  const std::vector<int32_t> multipliers(4096, 1);
  bench.clear_calls();

  struct Case {
    const char* what;
    std::function<int32_t()> call;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {"version, null", [&] { return VRX5200BrdCtrl_Get_DLL_Version(nullptr, nullptr); }, 108},
      {"discovery, null count",
       [&] { return VRX5200BrdCtrl_Get_VRX5200_EVM(nullptr, nullptr, nullptr); }, 108},
      {"init, null key", [&] { return VRX5200BrdCtrl_InitVRX5200_EVM(nullptr, &a, &b); }, 108},
      {"read register, null", [&] { return VRX5200BrdCtrl_Read_Register(1, nullptr); }, 108},
      {"write register, null", [&] { return VRX5200BrdCtrl_Write_Register(1, 1, nullptr); }, 108},
      {"config2, null", [&] { return VRX5200BrdCtrl_Write_Config2(1, nullptr); }, 108},
      {"busy, null", [&] { return VRX5200BrdCtrl_Check_ADC_Busy(nullptr); }, 108},
      {"deassert, null", [&] { return VRX5200BrdCtrl_Deassert_Capture(nullptr); }, 108},
      {"family, null", [&] { return VRX5200BrdCtrl_Get_Family_ID(nullptr); }, 108},
      {"firmware, null", [&] { return VRX5200BrdCtrl_Get_Firmware_version(nullptr); }, 108},
      {"ADC session, null", [&] { return VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(nullptr); },
       108},
      {"capture, negative", [&] { return VRX5200BrdCtrl_Start_ADC_to_DDR(-32, nullptr, 0, 0, 0); },
       18},
      {"capture, 31", [&] { return VRX5200BrdCtrl_Start_ADC_to_DDR(31, nullptr, 0, 0, 0); }, 18},
      {"capture, INT32_MIN",
       [&] { return VRX5200BrdCtrl_Start_ADC_to_DDR(INT32_MIN, nullptr, 0, 0, 0); }, 18},
      {"array read-back, null samples",
       [&] { return VRX5200BrdCtrl_Read_DDR_to_Array(nullptr, nullptr, 1, &a, &b, &c, &d, &e); },
       108},
      {"array read-back, null outputs",
       [&] {
         return VRX5200BrdCtrl_Read_DDR_to_Array(buffer.data(), nullptr, 1, nullptr, &b, &c, &d,
                                                 &e);
       },
       108},
      {"array read-back, negative index",
       [&] {
         b = -1;
         return VRX5200BrdCtrl_Read_DDR_to_Array(buffer.data(), nullptr, 1, &a, &b, &c, &d, &e);
       },
       108},
      {"one-call capture, null", [&] { return VRX5200BrdCtrl_Read_from_ADC(1024, nullptr); }, 108},
      {"file read-back, null path",
       [&] {
         return VRX5200BrdCtrl_Read_DDR_to_File(nullptr, nullptr, buffer.data(), lanes, 1, nullptr,
                                                nullptr, 0, 1, &a, &b, &c, &d, &e);
       },
       108},
      {"file read-back, ops without arrays",
       [&] {
         return VRX5200BrdCtrl_Read_DDR_to_File("x.bin", nullptr, buffer.data(), lanes, 1, nullptr,
                                                nullptr, 3, 1, &a, &b, &c, &d, &e);
       },
       108},
      {"file read-back, lane count 0",
       [&] {
         return VRX5200BrdCtrl_Read_DDR_to_File("x.bin", nullptr, buffer.data(), lanes, 0, nullptr,
                                                nullptr, 0, 1, &a, &b, &c, &d, &e);
       },
       108},
      {"file read-back, lane 16",
       [&] {
         const int32_t bad[] = {16};
         return VRX5200BrdCtrl_Read_DDR_to_File("x.bin", nullptr, buffer.data(), bad, 1, nullptr,
                                                nullptr, 0, 1, &a, &b, &c, &d, &e);
       },
       108},
      {"DAC session, null", [&] { return VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(nullptr); },
       108},
      {"playback, ADC session", [&] { return VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 0); }, 104},
      {"array upload, no DAC session",
       [&] { return VRX5200BrdCtrl_Write_DDR_from_Array(buffer.data(), 0, 1, &a, 4096, &b); }, 103},
      {"file upload, no DAC session",
       [&] { return VRX5200BrdCtrl_Write_DDR_from_File("p.bin", 0, 0, &a); }, 103},
      {"one-call upload, null", [&] { return VRX5200BrdCtrl_Write_to_DAC(4096, nullptr); }, 108},
      {"conversion, null input",
       [&] {
         return VRX5200BrdCtrl_Offset_BinRep(nullptr, ",", ".", multipliers.data(), map, 2, 1);
       },
       -2},
      {"conversion, lane count 5121",
       [&] {
         return VRX5200BrdCtrl_Offset_BinRep("in.txt", ",", ".", multipliers.data(), map, 5121, 1);
       },
       -2},
      {"conversion, missing input",
       [&] {
         return VRX5200BrdCtrl_Offset_BinRep(long_path.c_str(), ",", ".", multipliers.data(), map,
                                             2, 1);
       },
       -3},
      {"load, null", [&] { return VRX5200BrdCtrl_Load_Firmware(nullptr); }, 108},
      {"open, board 100", [&] { return VRX5200BrdCtrl_Open_VRX5200_Ports(100, 1000); }, 101},
  };
  for (const Case& k : cases) {
    bench.clear_calls();
    EXPECT_EQ(k.call(), k.code) << k.what;
    if (std::string(k.what) != "open, board 100") {
      EXPECT_TRUE(bench.calls().empty()) << k.what << " sent something";
    }
  }
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint16_t v) { return v == 0xBEEF; }));
}

// With no board selected every export gives its answer for that before it looks at its
// arguments (a null output, a missing file, a path that cannot be opened): the same result with
// good arguments and with bad ones, no USB traffic, no output written, no file made.
TEST_F(BenchTest, EveryExportAnswersNoBoardBeforeItsArguments) {
  bench.add_board("BOARD001");
  int32_t count = 0, length = 0;
  char keys[64];
  ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length), 0);
  bench.clear_calls();
  const std::string file = temp_file("never.bin");
  const char* path = file.c_str();
  std::vector<uint16_t> samples(65536 + 64, 0xBEEF);
  uint16_t* buffer = samples.data();
  const int32_t lanes[] = {1}, map[] = {-1, 1};
  const std::vector<int32_t> multipliers(4096, 1);
  const ADC_Session_Params adc{};
  const DAC_Session_Params dac = dac_session_params();
  int32_t a = -7, b = -7, c = -7, d = -7, e = -7, f = -7;
  uint8_t byte = 0xEE;
  struct Case {
    const char* what;
    int32_t code;
    std::function<int32_t(bool null)> call;  // with good arguments, or with null ones
  };
  const std::vector<Case> cases = {
      {"Close_Session", 0, [&](bool) { return VRX5200BrdCtrl_Close_Session(); }},
      {"Open_VRX5200_Ports", 101,
       [&](bool null) { return VRX5200BrdCtrl_Open_VRX5200_Ports(null ? -1 : 5, 1); }},
      {"Close_VRX_Ports", 101, [&](bool) { return VRX5200BrdCtrl_Close_VRX_Ports(); }},
      {"Clear_Buffer", 101, [&](bool) { return VRX5200BrdCtrl_Clear_Buffer(); }},
      {"FTDI_DevStatus", 101, [&](bool) { return VRX5200BrdCtrl_FTDI_DevStatus(); }},
      {"Read_Register", 0,
       [&](bool null) { return VRX5200BrdCtrl_Read_Register(0x0B, null ? nullptr : &a); }},
      {"Write_Register", 101,
       [&](bool null) { return VRX5200BrdCtrl_Write_Register(1, 2, null ? nullptr : &a); }},
      {"Write_Config2", 0,
       [&](bool null) { return VRX5200BrdCtrl_Write_Config2(1, null ? nullptr : &a); }},
      {"Check_ADC_Busy", 0,
       [&](bool null) { return VRX5200BrdCtrl_Check_ADC_Busy(null ? nullptr : &a); }},
      {"Deassert_Capture", 101,
       [&](bool null) { return VRX5200BrdCtrl_Deassert_Capture(null ? nullptr : &a); }},
      {"Get_Family_ID", 103,
       [&](bool null) { return VRX5200BrdCtrl_Get_Family_ID(null ? nullptr : &byte); }},
      {"Get_Firmware_version", 103,
       [&](bool null) { return VRX5200BrdCtrl_Get_Firmware_version(null ? nullptr : &byte); }},
      {"Configure_VRX5200_ADC_Session", 101,
       [&](bool null) {
         return VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(null ? nullptr : &adc);
       }},
      {"Start_ADC_to_DDR", 101,
       [&](bool null) {
         return VRX5200BrdCtrl_Start_ADC_to_DDR(null ? -1 : 1024, nullptr, 0, 0, 0);
       }},
      {"Read_DDR_to_Array", 101,
       [&](bool null) {
         // The call's count is 0, as always first; nothing else is written.
         return null ? VRX5200BrdCtrl_Read_DDR_to_Array(nullptr, nullptr, 1, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr)
                     : VRX5200BrdCtrl_Read_DDR_to_Array(buffer, nullptr, 1, &f, &b, &c, &d, &e);
       }},
      {"Read_from_ADC", 101,
       [&](bool null) { return VRX5200BrdCtrl_Read_from_ADC(1024, null ? nullptr : buffer); }},
      {"Read_DDR_to_File", 101,
       [&](bool null) {
         return null ? VRX5200BrdCtrl_Read_DDR_to_File(nullptr, nullptr, nullptr, nullptr, 0,
                                                       nullptr, nullptr, 3, 1, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr)
                     : VRX5200BrdCtrl_Read_DDR_to_File(path, nullptr, buffer, lanes, 1, nullptr,
                                                       nullptr, 0, 1, &a, &b, &c, &d, &e);
       }},
      {"Configure_VRX5200_DAC_Session", 101,
       [&](bool null) {
         return VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(null ? nullptr : &dac);
       }},
      {"Start_DDR_to_DAC", 101,
       [&](bool null) { return VRX5200BrdCtrl_Start_DDR_to_DAC(null ? 31 : 4096, 0); }},
      {"Write_DDR_from_Array", 101,
       [&](bool null) {
         return null ? VRX5200BrdCtrl_Write_DDR_from_Array(nullptr, 0, 1, nullptr, 4096, nullptr)
                     : VRX5200BrdCtrl_Write_DDR_from_Array(buffer, 0, 1, &a, 4096, &b);
       }},
      {"Write_DDR_from_File", 101,
       [&](bool null) {
         return VRX5200BrdCtrl_Write_DDR_from_File(null ? nullptr : path, 0, 0,
                                                   null ? nullptr : &a);
       }},
      {"Write_to_DAC", 101,
       [&](bool null) { return VRX5200BrdCtrl_Write_to_DAC(4096, null ? nullptr : buffer); }},
      {"Load_Firmware", 101,
       [&](bool null) { return VRX5200BrdCtrl_Load_Firmware(null ? nullptr : path); }},
      // Those that need no board check their arguments.
      {"Get_DLL_Version", 108,
       [&](bool) { return VRX5200BrdCtrl_Get_DLL_Version(nullptr, nullptr); }},
      {"Get_VRX5200_EVM", 108,
       [&](bool) { return VRX5200BrdCtrl_Get_VRX5200_EVM(nullptr, nullptr, nullptr); }},
      {"InitVRX5200_EVM", 108,
       [&](bool) { return VRX5200BrdCtrl_InitVRX5200_EVM(nullptr, &a, &b); }},
      {"Offset_BinRep", -2,
       [&](bool) {
         return VRX5200BrdCtrl_Offset_BinRep(nullptr, ",", ".", multipliers.data(), map, 2, 1);
       }},
      {"Twos_Complement", -2,
       [&](bool) {
         return VRX5200BrdCtrl_Twos_Complement(path, ",", ".", multipliers.data(), map, 0, 1);
       }},
  };
  ASSERT_EQ(cases.size(), 28u);
  for (const Case& k : cases) {
    for (const bool null : {false, true}) {
      bench.clear_calls();
      a = b = c = d = e = f = -7;
      byte = 0xEE;
      EXPECT_EQ(k.call(null), k.code) << k.what << (null ? " with null arguments" : "");
      EXPECT_TRUE(bench.calls().empty()) << k.what << " made USB traffic";
      EXPECT_TRUE(a == -7 && b == -7 && c == -7 && d == -7 && e == -7 && byte == 0xEE &&
                  (f == -7 || f == 0))
          << k.what << " wrote an output";
    }
  }
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](uint16_t v) { return v == 0xBEEF; }));
  EXPECT_FALSE(std::filesystem::exists(file));
}

// Whether a file can be opened is told before whether there is anything to read or upload, by
// the file read-back as by the file upload; either way nothing changes and no file is made.
TEST_F(BadInputTest, AFileThatCannotBeOpenedComesBeforeNothingStarted) {
  const std::string fresh = temp_file("fresh.bin"), kept = temp_file("kept.bin");
  const std::string unopenable = temp_file("no-such-dir") + "/file.bin";
  const std::string directory = ::testing::TempDir();  // a directory is no file to open
  {
    std::ofstream out(kept, std::ios::binary);
    out << "kept";
  }
  const int32_t lanes[] = {1};
  for (const bool upload : {false, true}) {
    for (const int state : {0, 1}) {  // nothing started yet; read or uploaded completely
      if (upload) {
        DAC_Session_Params dac = dac_session_params();
        ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac), 0);
        if (state == 1) {
          ASSERT_EQ(VRX5200BrdCtrl_Write_to_DAC(64, buffer.data()), 0);
        }
      } else {
        ADC_Session_Params adc{};
        adc.Rate_Factor = 2;
        adc.Rate = 250e6;
        ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc), 0);
        if (state == 1) {
          ASSERT_EQ(VRX5200BrdCtrl_Read_from_ADC(1024, buffer.data()), 0);
        }
      }
      for (const std::string* path : {&unopenable, &directory, &fresh, &kept}) {
        const std::string what =
            std::string(upload ? "upload " : "read-back ") + std::to_string(state) + " " + *path;
        a = b = c = d = e = 7;
        bench.clear_calls();
        const int32_t r = upload ? VRX5200BrdCtrl_Write_DDR_from_File(path->c_str(), 0, 0, &a)
                                 : VRX5200BrdCtrl_Read_DDR_to_File(
                                       path->c_str(), nullptr, buffer.data(), lanes, 1, nullptr,
                                       nullptr, 0, 1000, &a, &b, &c, &d, &e);
        // The upload reads its file: one that is not there cannot be opened.
        const bool opens = path == &kept || (path == &fresh && !upload);
        EXPECT_EQ(r, opens ? 106 : 107) << what;
        EXPECT_TRUE(bench.calls().empty()) << what;
        EXPECT_TRUE(a == 7 && b == 7 && c == 7 && d == 7 && e == 7) << what;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << what;
        std::ifstream in(kept, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept") << what;
      }
    }
  }
#if !defined(_WIN32)
  // A pipe is not opened to find out: that would wait for its other end.
  const std::string pipe = temp_file("pipe");
  std::filesystem::remove(pipe);
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  start_capture();
  ASSERT_EQ(VRX5200BrdCtrl_Read_from_ADC(1024, buffer.data()), 0);  // read completely
  EXPECT_EQ(VRX5200BrdCtrl_Read_DDR_to_File(pipe.c_str(), nullptr, buffer.data(), lanes, 1, nullptr,
                                            nullptr, 0, 1000, &a, &b, &c, &d, &e),
            106);
#endif
}

TEST_F(BadInputTest, LongPathsAndUnwritableFiles) {
  start_capture();
  const int32_t lanes[] = {1};
  EXPECT_EQ(VRX5200BrdCtrl_Read_DDR_to_File(long_path.c_str(), nullptr, buffer.data(), lanes, 1,
                                            nullptr, nullptr, 0, 1000, &a, &b, &c, &d, &e),
            107);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(long_path.c_str()), 111);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  DAC_Session_Params dac{};
  ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac), 0);
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 0), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(long_path.c_str(), 0, 0, &a), 107);
}

}  // namespace
