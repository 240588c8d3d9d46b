// Bad inputs to every export: null pointers, negative and huge lengths, lengths that are not
// multiples of 32, missing and unwritable files, very long paths, lists outside the data model,
// board numbers. Each gets a clear code, sends nothing and writes nothing it was not asked to.
#include <algorithm>
#include <climits>
#include <functional>
#include <string>

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
