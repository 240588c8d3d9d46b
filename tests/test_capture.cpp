// Capture path: ADC session, capture start, read-back to arrays and files, against the bench's
// capture engine.
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <numeric>
#include <random>

#include "capture/capture.h"
#include "capture/lanes.h"
#include "support.h"
#include "tests/stateful/model.h"

namespace {

Bytes write_frame(uint8_t reg, uint8_t value, int n = 1) {
  return repeat({static_cast<uint8_t>(0x10 | reg), value, reg, 0x00}, n);
}

ADC_Session_Params adc(double rate, int32_t factor = 2, int32_t step = 0, int32_t half = 0,
                       uint8_t r1 = 0x02) {
  ADC_Session_Params p{};
  p.Rate_Factor = factor;
  p.Rate = rate;
  p.Step_Select = step;
  p.Half_Rate_Mode = half;
  p.Register_1_Value = r1;
  p.Register_6_Value = 0x01;
  p.Register_7_Value = 0x00;
  return p;
}

// ---- pure helpers ----

TEST(AdcClockPlan, BandBoundariesAreExact) {
  struct Case {
    double r;
    int band;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Case c :
       {Case{625e6, 0}, Case{300e6, 0}, Case{std::nextafter(300e6, 0.0), 1}, Case{150e6, 1},
        Case{80e6, 2}, Case{std::nextafter(80e6, 0.0), 3}, Case{std::nextafter(625e6, 1e9), 3},
        Case{0, 3}, Case{-5e8, 3}, Case{nan, 3}}) {
    EXPECT_EQ(vrx::plan_adc_clock(adc(c.r, 2)).band, c.band) << c.r;
  }
  ADC_Session_Params halved = adc(250e6, 2, 0, 1, 0x03);
  EXPECT_EQ(vrx::adc_rate(halved), 125e6);
  halved.Register_1_Value = 0x02;  // even: no halving
  EXPECT_EQ(vrx::adc_rate(halved), 250e6);
}

TEST(CaptureLength, DecompositionAndValidity) {
  struct Case {
    int32_t n;
    bool valid;
    int32_t regions, blocks;
  };
  for (const Case c :
       {Case{32, true, 0, 0}, Case{1024, true, 0, 0}, Case{4096, true, 0, 0},
        Case{5120, true, 0, 1}, Case{65536, true, 0, 15}, Case{65536 + 32, true, 0, 16},
        Case{1 << 26, true, 0, 16383}, Case{(1 << 26) + 32, true, 1, 0},
        Case{2147483616, true, 31, 16383}, Case{0, false, 0, 0}, Case{16, false, 0, 0},
        Case{4100, false, 0, 1}, Case{48, false, 0, 0}, Case{-32, false, 0, 0},
        Case{std::numeric_limits<int32_t>::min(), false, 0, 0}}) {
    const vrx::LengthFields f = vrx::decompose_length(c.n);
    EXPECT_EQ(f.valid, c.valid) << c.n;
    if (c.valid) {
      EXPECT_EQ(f.regions, c.regions) << c.n;
      EXPECT_EQ(f.blocks, c.blocks) << c.n;
    }
  }
  EXPECT_EQ(vrx::ceil_div(65536, 65536), 1);
  EXPECT_EQ(vrx::ceil_div(65537, 65536), 2);
  EXPECT_EQ(vrx::ceil_div(1, 65536), 1);
}

TEST(BitOps, ExamplesOfTheOperationList) {
  struct Case {
    std::vector<int32_t> codes, operands;
    uint16_t in, out;
  };
  const Case cases[] = {
      {{0}, {2}, 0x8001, 0x2000},
      {{0}, {-4}, 0x8421, 0x4210},
      {{0}, {16}, 0xFFFF, 0x0000},
      {{0}, {33}, 0x8000, 0x4000},
      {{0}, {-32}, 0x1234, 0x1234},
      {{1}, {0x8000}, 0x1234, 0x9234},
      {{2}, {0x3FFF}, 0xFFFF, 0x3FFF},
      {{3}, {0x00F0}, 0x1200, 0x12F0},
      {{4}, {99}, 0x00FF, 0xFF00},
      {{5}, {123}, 0xBEEF, 0xBEEF},
      {{0, 0}, {-2, 2}, 0xFFFF, 0x3FFF},
      {{0, 0}, {2, -2}, 0xFFFF, 0xFFFC},
      {{1}, {0x18000}, 0x0001, 0x8001},
      {{0}, {std::numeric_limits<int32_t>::min()}, 0x1234, 0x1234},
  };
  for (const Case& c : cases) {
    const int32_t n = static_cast<int32_t>(c.codes.size());
    EXPECT_EQ(vrx::apply_ops_in_order(c.in, c.codes.data(), c.operands.data(), n), c.out);
    EXPECT_EQ(vrx::compile_ops(c.codes.data(), c.operands.data(), n).apply(c.in), c.out);
  }
}

// The operation list as its table reads, one sample at a time: the reference for random lists.
uint16_t by_the_table(uint16_t s, const std::vector<int32_t>& codes,
                      const std::vector<int32_t>& operands) {
  for (size_t i = 0; i < codes.size(); ++i) {
    const int64_t x = operands[i];
    const uint16_t low = static_cast<uint16_t>(x & 0xFFFF);
    if (codes[i] == 0) {
      const int64_t by = (x > 0 ? x : -x) % 32;  // right for x > 0, left for x <= 0
      s = by >= 16 ? 0 : static_cast<uint16_t>(x > 0 ? s >> by : s << by);
    } else if (codes[i] == 1) {
      s ^= low;
    } else if (codes[i] == 2) {
      s &= low;
    } else if (codes[i] == 3) {
      s |= low;
    } else if (codes[i] == 4) {
      s = static_cast<uint16_t>(~s);
    }
  }
  return s;
}

TEST(BitOps, CompiledFormMatchesTheTableForRandomLists) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 2000; ++trial) {
    const int32_t n = static_cast<int32_t>(rng() % 7);
    std::vector<int32_t> codes(n), operands(n);
    for (int32_t i = 0; i < n; ++i) {
      codes[i] = static_cast<int32_t>(rng() % 7) - (rng() % 8 == 0 ? 9 : 0);
      // Shifts mostly by small amounts either way, now and then by any 32-bit operand.
      operands[i] = codes[i] == 0 && rng() % 4 != 0 ? static_cast<int32_t>(rng() % 41) - 20
                                                    : static_cast<int32_t>(rng());
    }
    const vrx::BitOps ops = vrx::compile_ops(codes.data(), operands.data(), n);
    for (int s = 0; s < 65536; s += 257) {
      const uint16_t in = static_cast<uint16_t>(s ^ (trial * 31));
      ASSERT_EQ(ops.apply(in), by_the_table(in, codes, operands)) << "trial " << trial;
      ASSERT_EQ(vrx::apply_ops_in_order(in, codes.data(), operands.data(), n),
                by_the_table(in, codes, operands))
          << "trial " << trial;
    }
  }
}

TEST(Lanes, ListsOutsideTheDataModelAreRefused) {
  vrx::LanePlan plan;
  const std::vector<std::vector<int32_t>> bad = {{},   {0},    {0, 0}, {2},      {1, 1},
                                                 {16}, {1, 3}, {-1},   {1, 2, 4}};
  for (const auto& lanes : bad) {
    EXPECT_FALSE(vrx::plan_lanes(lanes.data(), static_cast<int32_t>(lanes.size()), plan));
  }
  EXPECT_FALSE(vrx::plan_lanes(nullptr, 1, plan));
  const std::vector<int32_t> good = {0, 2, 0, 1};
  ASSERT_TRUE(vrx::plan_lanes(good.data(), 4, plan));
  EXPECT_EQ(plan.lanes, 2);
  EXPECT_FALSE(plan.keeps_all);
}

std::vector<uint16_t> reorder(const std::vector<uint16_t>& block, std::vector<int32_t> lanes,
                              vrx::CarryOver& carry) {
  vrx::LanePlan plan;
  EXPECT_TRUE(vrx::plan_lanes(lanes.data(), static_cast<int32_t>(lanes.size()), plan));
  std::vector<uint16_t> scratch(block.size() + 16), out(block.size() + 16);
  const size_t c = vrx::reorder_block(block.data(), block.size(), plan, vrx::BitOps{}, carry,
                                      scratch.data(), out.data());
  out.resize(c);
  return out;
}

TEST(Lanes, ReorderingWithCarryOver) {
  std::vector<uint16_t> block(8);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint16_t>(i);
  vrx::CarryOver carry;
  EXPECT_EQ(reorder(block, {1}, carry), block);
  EXPECT_EQ(reorder(block, {2, 1}, carry), (std::vector<uint16_t>{1, 0, 3, 2, 5, 4, 7, 6}));
  EXPECT_EQ(reorder(block, {1, 0}, carry), (std::vector<uint16_t>{0, 2, 4, 6}));
  EXPECT_EQ(carry.count, 0);
  // [3, 1, 2]: input samples 1, 2, 0 of each frame; 8 samples leave 2 for the next block,
  // whose lane phase starts again at its first sample.
  EXPECT_EQ(reorder(block, {3, 1, 2}, carry), (std::vector<uint16_t>{1, 2, 0, 4, 5, 3}));
  EXPECT_EQ(carry.count, 2);
  EXPECT_EQ(reorder({10, 11, 12, 13}, {3, 1, 2}, carry),
            (std::vector<uint16_t>{7, 10, 6, 12, 13, 11}));
  EXPECT_EQ(carry.count, 0);

  // An empty block (its pointers may be null) changes nothing.
  vrx::LanePlan plan;
  const int32_t one[] = {1};
  ASSERT_TRUE(vrx::plan_lanes(one, 1, plan));
  EXPECT_EQ(vrx::reorder_block(nullptr, 0, plan, vrx::BitOps{}, carry, nullptr, nullptr), 0u);
  EXPECT_EQ(carry.count, 0);

  std::vector<uint16_t> big(65536);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint16_t>(i);
  const std::vector<uint16_t> out = reorder(big, {3, 1, 2}, carry);
  EXPECT_EQ(out.size(), 65535u);
  EXPECT_EQ(carry.count, 1);
  EXPECT_EQ(out[65532], 65533);
}

// Whatever lane list each block comes with, carried samples included: long sequences of
// blocks of random sizes, each under a random list, against the plain reading of the rule.
TEST(Lanes, ChangedListsFollowTheCombinedSequence) {
  std::mt19937 rng(13);
  vrx::CarryOver carry;
  std::vector<uint16_t> plain_carry;
  uint16_t next = 0;
  for (int b = 0; b < 3000; ++b) {
    std::vector<int32_t> numbered(1 + rng() % 15);  // 1 to K, each once, and a few zeros
    std::iota(numbered.begin(), numbered.end(), 1);
    std::shuffle(numbered.begin(), numbered.end(), rng);
    for (int z = static_cast<int>(rng() % 4); z > 0; --z) {
      numbered.insert(numbered.begin() + static_cast<long>(rng() % (numbered.size() + 1)), 0);
    }
    std::vector<uint16_t> block(rng() % 64);
    for (uint16_t& v : block) v = next++;
    ASSERT_EQ(reorder(block, numbered, carry),
              stateful::reorder(plain_carry, block, numbered, {}, {}))
        << "block " << b;
    ASSERT_EQ(std::vector<uint16_t>(carry.samples, carry.samples + carry.count), plain_carry);
  }
}

// ---- on the bench ----

class CaptureTest : public BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    open_board();
  }
  void configure(const ADC_Session_Params& p) {
    ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p), 0);
    bench.clear_calls();
  }
  vrx::BoardRecord& record() { return vrx::g_state.boards[0]; }
  // The samples of the board's current capture.
  std::vector<uint16_t> expected(int32_t n, uint64_t capture_back = 0) {
    std::vector<uint16_t> out(n);
    const uint64_t c = board().captures - 1 - capture_back;
    for (int32_t i = 0; i < n; ++i) out[i] = board().sample(c, i);
    return out;
  }

  struct ArrayRead {
    int32_t result, this_call = -1, write_index = 0, status = -1, pattern_timeout = -1, more = 1;
  };
  ArrayRead read_array(std::vector<uint16_t>& samples, const std::vector<uint32_t>& patterns = {},
                       uint32_t timeout = 10000, int32_t write_index = 0) {
    ArrayRead r{};
    r.write_index = write_index;
    r.result =
        VRX5200BrdCtrl_Read_DDR_to_Array(samples.data(), patterns.data(), timeout, &r.this_call,
                                         &r.write_index, &r.status, &r.pattern_timeout, &r.more);
    return r;
  }
};

TEST_F(CaptureTest, SessionExchangesForEachBand) {
  struct Case {
    ADC_Session_Params p;
    std::vector<Bytes> frames;
  };
  const Case cases[] = {
      {adc(250e6), {write_frame(3, 0x11), write_frame(3, 0x16, 4), write_frame(3, 0x7E, 20)}},
      {adc(250e6, 2, 1, 1, 0x03),
       {write_frame(3, 0x21), write_frame(3, 0x1E, 12), write_frame(3, 0x7E, 60)}},
      {adc(400e6), {write_frame(3, 0x01), write_frame(3, 0x16, 4)}},
      {adc(400e6, 2, 1), {write_frame(3, 0x01)}},
      {adc(400e6, 2, 0, 1), {write_frame(3, 0x01)}},
      {adc(100e6, 0), {write_frame(3, 0x31), write_frame(3, 0x16, 4), write_frame(3, 0x7E, 60)}},
  };
  for (const Case& c : cases) {
    bench.clear_calls();
    EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&c.p), 0);
    EXPECT_EQ(frames(), c.frames);
    EXPECT_EQ(record().session_kind, 1);
  }
}

TEST_F(CaptureTest, SessionResultIsTheFirstFailingExchange) {
  const ADC_Session_Params p = adc(250e6);
  bench.short_write(entry_of_port(2), 4, 0);  // the step run's patterns
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p), 10);
  EXPECT_EQ(record().session_kind, -1);
  // The long run still went out.
  EXPECT_EQ(board().writes.back(), std::make_pair(uint8_t{3}, uint8_t{0x7E}));

  VRX5200BrdCtrl_Close_Session();
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 0);
  bench.clear_faults();
  bench.short_write(entry_of_port(2), 7, 0);  // the long run's patterns
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p), 10);
  EXPECT_EQ(record().session_kind, -1);
  EXPECT_EQ(record().adc.Rate, 250e6);  // stored all the same
  bench.clear_faults();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p), 0);
  EXPECT_EQ(record().session_kind, 1);

  ADC_Session_Params bad = p;
  bad.Pattern_Match = 2;
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&bad), 108);
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(nullptr), 108);
  EXPECT_TRUE(bench.calls().empty());
  VRX5200BrdCtrl_Close_Session();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(nullptr), 101);  // no board comes first
}

// A read-back needs a capture start of its own: a playback's block plan is not a capture's.
TEST_F(CaptureTest, PlaybackPlanDoesNotLeakIntoTheReadBacks) {
  const DAC_Session_Params d = dac_session_params();
  ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&d), 0);
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(2 * 63448 + 16, 0), 0);  // a plan of three blocks
  configure(adc(250e6));
  std::vector<uint16_t> samples(3 * 65536);
  EXPECT_EQ(read_array(samples).result, 106);
  int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
  std::vector<uint16_t> copy(65536 + 14);
  const int32_t lanes[] = {1};
  const std::string path = temp_file("leak.bin");
  EXPECT_EQ(VRX5200BrdCtrl_Read_DDR_to_File(path.c_str(), nullptr, copy.data(), lanes, 1, nullptr,
                                            nullptr, 0, 1000, &this_call, &write_index, &status,
                                            &timeout, &more),
            106);
}

// A capture start that fails part-way leaves the board's capture unknown: the read-back of the
// capture before it is over.
TEST_F(CaptureTest, FailedCaptureStartEndsTheCaptureInProgress) {
  configure(adc(250e6));
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(131072, nullptr, 0, 0, 0), 0);
  bench.short_read(entry_of_port(2), 6, 0);  // the start register's frame, after it went out
  EXPECT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(131072, nullptr, 0, 0, 0), 8);
  std::vector<uint16_t> samples(131072);
  EXPECT_EQ(read_array(samples).result, 106);
  bench.clear_faults();
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(131072, nullptr, 0, 0, 0), 0);
  ASSERT_EQ(read_array(samples).result, 0);
  EXPECT_EQ(samples, expected(131072));
}

TEST_F(CaptureTest, StartSendsLengthAndStartRegisters) {
  configure(adc(250e6));
  board().busy_forever = true;
  int32_t counter = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(65536, &counter, 0, 0, 65536), 0);
  const std::vector<Bytes> expect = {
      {0x18, 0x0F, 0x08, 0x00, 0x19, 0x00, 0x09, 0x00, 0x1A, 0x00, 0x0A, 0x00},
      {0x16, 0x01, 0x06, 0x00, 0x10, 0xFF, 0x00, 0x00, 0x17, 0x00, 0x07, 0x00, 0x11, 0x02,
       0x01, 0x00, 0x16, 0x00, 0x06, 0x00, 0x10, 0x00, 0x00, 0x00, 0x12, 0x01, 0x02, 0x00},
      {0x02, 0x00}};
  EXPECT_EQ(frames(), expect);
  EXPECT_EQ(record().started, 1);
  EXPECT_EQ(record().next_block, 0);
  EXPECT_EQ(record().block_count, 1);
  EXPECT_EQ(record().last_block_size, 65536);
  EXPECT_EQ(record().status_byte, 1);  // register 2 read back: busy
  EXPECT_EQ(board().capture_length, 65536u);
}

TEST_F(CaptureTest, StartLengthsAndRefusals) {
  configure(adc(250e6));
  struct Case {
    int32_t n;
    int32_t result;
    int32_t blocks = 0, last = 0;
    uint8_t r8 = 0, r9 = 0, r10 = 0;
  };
  for (const Case c :
       {Case{32, 0, 1, 32, 0, 0, 0}, Case{1024, 0, 1, 1024, 0, 0, 0},
        Case{65536 + 32, 0, 2, 32, 16, 0, 0}, Case{1 << 26, 0, 1024, 65536, 0xFF, 0x3F, 0},
        Case{(1 << 26) + 32, 0, 1025, 32, 0, 0, 1}, Case{0, 18}, Case{16, 18}, Case{4100, 18},
        Case{-64, 18}}) {
    bench.clear_calls();
    EXPECT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(c.n, nullptr, 0, 0, 0), c.result) << c.n;
    if (c.result != 0) {
      EXPECT_TRUE(bench.calls().empty());
      continue;
    }
    EXPECT_EQ(frames()[0],
              (Bytes{0x18, c.r8, 0x08, 0x00, 0x19, c.r9, 0x09, 0x00, 0x1A, c.r10, 0x0A, 0x00}));
    EXPECT_EQ(record().block_count, c.blocks);
    EXPECT_EQ(record().last_block_size, c.last);
    EXPECT_EQ(record().capture_total, c.n);
  }
}

TEST_F(CaptureTest, StartValueSwitch) {
  ADC_Session_Params p = adc(250e6);
  configure(p);
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 5, 0x181, 0), 0);
  EXPECT_EQ(frames()[1][25], 0x81);
  EXPECT_EQ(vrx::g_start_value_flag, 0);
  p.Pattern_Match = 1;
  configure(p);
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 5, 0x181, 0), 0);
  EXPECT_EQ(frames()[1][25], 0x01);
  EXPECT_EQ(vrx::g_start_value_flag, 5);
  EXPECT_EQ(vrx::g_start_value, 0x81);
}

TEST_F(CaptureTest, SessionChecksBeforeAnyTraffic) {
  std::vector<uint16_t> samples(64);
  EXPECT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 103);
  EXPECT_EQ(read_array(samples).result, 103);
  record().session_kind = 2;
  EXPECT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 105);
  const ArrayRead r = read_array(samples);
  EXPECT_EQ(r.result, 104);
  EXPECT_EQ(r.this_call, 0);
  configure(adc(250e6));
  EXPECT_EQ(read_array(samples).result, 106);  // nothing started yet
  EXPECT_TRUE(bench.calls().empty());
}

TEST_F(CaptureTest, ArrayReadBackIsBitExactAcrossBlocks) {
  configure(adc(250e6));
  for (int32_t n : {32, 1024, 65536 + 32, 3 * 65536}) {
    ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(n, nullptr, 0, 0, 0), 0);
    std::vector<uint16_t> samples(n + 8, 0xDEAD);
    const ArrayRead r = read_array(samples, {}, 10000, 8);
    ASSERT_EQ(r.result, 0) << n;
    EXPECT_EQ(r.more, 0);
    EXPECT_EQ(r.this_call, n);
    EXPECT_EQ(r.write_index, n + 8);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::vector<uint16_t>(samples.begin() + 8, samples.end()), expected(n)) << n;
    EXPECT_EQ(samples[7], 0xDEAD);
    // A finished capture is refused instead of read past its end.
    bench.clear_calls();
    EXPECT_EQ(read_array(samples).result, 106);
    EXPECT_TRUE(bench.calls().empty());
  }
}

TEST_F(CaptureTest, BlockBytesInterleaveLowByteFirst) {
  std::vector<uint16_t> custom(64, 0);
  custom[0] = 0x1234;
  custom[1] = 0x5678;
  board().set_samples(custom);
  configure(adc(250e6));
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(32, nullptr, 0, 0, 0), 0);
  std::vector<uint16_t> samples(32);
  ASSERT_EQ(read_array(samples).result, 0);
  EXPECT_EQ(samples[0], 0x1234);
  EXPECT_EQ(samples[1], 0x5678);
  const std::vector<sim::Call> reads0 = bench.calls(entry_of_port(0), "FT_Read");
  const std::vector<sim::Call> reads1 = bench.calls(entry_of_port(1), "FT_Read");
  EXPECT_EQ((Bytes{reads0.back().data[0], reads0.back().data[1]}), (Bytes{0x34, 0x12}));
  EXPECT_EQ((Bytes{reads1.back().data[0], reads1.back().data[1]}), (Bytes{0x78, 0x56}));
}

TEST_F(CaptureTest, BusyBoardTimesOutAndKeepsTheCapture) {
  configure(adc(250e6));
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  board().busy_forever = true;
  std::vector<uint16_t> samples(1024);
  const uint64_t t0 = bench.now();
  ArrayRead r = read_array(samples, {}, 500, 40);
  EXPECT_EQ(r.result, 102);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.write_index, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_GT(bench.now() - t0, 500u);
  EXPECT_LT(bench.now() - t0, 520u);
  EXPECT_EQ(record().started, 1);
  board().busy_forever = false;
  r = read_array(samples);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(samples, expected(1024));
}

TEST_F(CaptureTest, ErrorExitsClearTheStartedFlag) {
  configure(adc(250e6));
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  std::vector<uint16_t> samples(1024);
  bench.silence(entry_of_port(1));
  ArrayRead r = read_array(samples);
  EXPECT_EQ(r.result, 6);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.pattern_timeout, 0);
  EXPECT_EQ(record().started, 0);
  EXPECT_EQ(read_array(samples).result, 106);

  bench.clear_faults();
  VRX5200BrdCtrl_Clear_Buffer();
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  bench.short_read(entry_of_port(2), 2, 1);  // the first poll's reply
  r = read_array(samples);
  EXPECT_EQ(r.result, 8);
  EXPECT_EQ(record().started, 0);
}

TEST_F(CaptureTest, PatternMatchRearmsUntilTheKeyMatches) {
  std::vector<uint16_t> custom(1 << 16);
  for (size_t i = 0; i < custom.size(); ++i) custom[i] = static_cast<uint16_t>(i * 3 + 1);
  board().set_samples(custom, 1000);  // every capture starts 1000 samples further on
  ADC_Session_Params p = adc(250e6);
  p.Pattern_Match = 1;
  p.Pattern_Count = 2;
  configure(p);
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  const uint64_t first = board().captures - 1;
  auto key = [&](uint64_t capture) {
    return static_cast<uint32_t>(board().sample(capture, 1)) << 16 | board().sample(capture, 3);
  };
  // The third capture's key stands at position 1; the first capture's key at position 2, beyond
  // Pattern_Count, never matches.
  std::vector<uint32_t> patterns = {0x12345678, key(first + 2), key(first)};
  std::vector<uint16_t> samples(1024);
  const ArrayRead r = read_array(samples, patterns);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 0);
  EXPECT_EQ(r.write_index, 1024);
  EXPECT_EQ(board().captures - 1, first + 3);
  EXPECT_EQ(samples, expected(1024));
  EXPECT_EQ(record().adc.Pattern_Match, 0);

  const std::vector<Bytes> f = frames();
  const Bytes rearm = {0x10, 0xFF, 0x00, 0x00, 0x11, 0x18, 0x01, 0x00,
                       0x10, 0x00, 0x00, 0x00, 0x12, 0x01, 0x02, 0x00};
  EXPECT_EQ(std::count(f.begin(), f.end(), rearm), 3);
  EXPECT_EQ(std::count(f.begin(), f.end(), write_frame(4, 0xFF)), 2);
  EXPECT_EQ(std::count(f.begin(), f.end(), write_frame(7, 0x00)), 1);
}

TEST_F(CaptureTest, PatternMatchTimesOut) {
  ADC_Session_Params p = adc(250e6);
  p.Pattern_Match = 1;
  p.Pattern_Count = 1;
  configure(p);
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(1024, nullptr, 0, 0, 0), 0);
  std::vector<uint32_t> patterns = {0xFFFFFFFF};
  std::vector<uint16_t> samples(1024, 7);
  const ArrayRead r = read_array(samples, patterns, 200);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.pattern_timeout, 1);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.this_call, 0);
  EXPECT_EQ(samples, std::vector<uint16_t>(1024, 7));
  EXPECT_EQ(record().started, 1);
  // The one-call capture refuses a pattern-match session instead of looping for ever.
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Read_from_ADC(1024, samples.data()), 108);
  EXPECT_TRUE(bench.calls().empty());
}

TEST_F(CaptureTest, OneCallCapture) {
  std::vector<uint16_t> samples(131072);
  EXPECT_EQ(VRX5200BrdCtrl_Read_from_ADC(1024, samples.data()), 103);
  configure(adc(250e6));
  ASSERT_EQ(VRX5200BrdCtrl_Read_from_ADC(131072, samples.data()), 0);
  EXPECT_EQ(samples, expected(131072));
  EXPECT_EQ(frames()[1][25], 0x01);  // standard start value whatever the 129 passed
  EXPECT_EQ(VRX5200BrdCtrl_Read_from_ADC(100, samples.data()), 18);
  EXPECT_EQ(VRX5200BrdCtrl_Read_from_ADC(1024, nullptr), 108);
}

// ---- file read-back ----

class FileCaptureTest : public CaptureTest {
 protected:
  std::string path = temp_file("capture.bin");
  std::vector<uint16_t> copy = std::vector<uint16_t>(65536 + 14);
  struct FileRead {
    int32_t result, this_call = -1, status = -1, pattern_timeout = 0, more = 1;
  };
  int32_t write_index = 0;

  FileRead read_file(std::vector<int32_t> lanes, std::vector<int32_t> codes = {},
                     std::vector<int32_t> operands = {}, const std::vector<uint32_t>& patterns = {},
                     uint32_t timeout = 10000) {
    FileRead r{};
    r.result = VRX5200BrdCtrl_Read_DDR_to_File(
        path.c_str(), patterns.data(), copy.data(), lanes.data(),
        static_cast<int32_t>(lanes.size()), codes.data(), operands.data(),
        static_cast<int32_t>(codes.size()), timeout, &r.this_call, &write_index, &r.status,
        &r.pattern_timeout, &r.more);
    return r;
  }
  std::vector<uint16_t> file_samples() {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::vector<uint16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
  }
  // A pattern-match session with one pattern over captures that each start 333 samples on.
  void configure_pattern_match() {
    std::vector<uint16_t> custom(1 << 16);
    for (size_t i = 0; i < custom.size(); ++i) custom[i] = static_cast<uint16_t>(i * 5 + 3);
    board().set_samples(custom, 333);
    ADC_Session_Params p = adc(250e6);
    p.Pattern_Match = 1;
    p.Pattern_Count = 1;
    configure(p);
  }
  void start(int32_t n, int32_t sw = 0, int32_t value = 0) {
    write_index = 0;
    ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(n, nullptr, sw, value, 0), 0);
  }
};

TEST_F(FileCaptureTest, OneBlockPerCallAppendedToTheFile) {
  configure(adc(250e6));
  start(131072);
  FileRead r = read_file({1});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.this_call, 65536);
  EXPECT_EQ(file_samples().size(), 65536u);
  r = read_file({1});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 0);
  EXPECT_EQ(write_index, 131072);
  const std::vector<uint16_t> all = expected(131072);
  EXPECT_EQ(file_samples(), all);
  EXPECT_EQ(std::vector<uint16_t>(copy.begin(), copy.begin() + 65536),
            std::vector<uint16_t>(all.begin() + 65536, all.end()));
  EXPECT_EQ(read_file({1}).result, 106);  // nothing past the capture
  EXPECT_EQ(file_samples().size(), 131072u);

  // A new capture empties the file before its first block.
  start(1024);
  ASSERT_EQ(read_file({1}).result, 0);
  EXPECT_EQ(file_samples(), expected(1024));
}

TEST_F(FileCaptureTest, LaneListsAndBitOperations) {
  configure(adc(250e6));
  start(2 * 65536);
  ASSERT_EQ(read_file({3, 1, 2}, {1, 0, 2, 0}, {0x00FF, -2, 0x7FFF, 1}).result, 0);
  ASSERT_EQ(read_file({3, 1, 2}, {1, 0, 2, 0}, {0x00FF, -2, 0x7FFF, 1}).result, 0);
  const std::vector<uint16_t> in = expected(2 * 65536);
  // XOR 0x00FF, shift left by 2, AND 0x7FFF, shift right by 1, written out.
  auto ops = [](uint16_t s) {
    s ^= 0x00FF;
    s = static_cast<uint16_t>(s << 2);
    s &= 0x7FFF;
    return static_cast<uint16_t>(s >> 1);
  };
  // Block 1: 21845 frames, one sample carried; block 2: the carried sample and 65536 more. In
  // each frame the output order is input samples 1, 2, 0.
  std::vector<uint16_t> want;
  for (size_t f = 0; f + 3 <= in.size(); f += 3) {
    for (size_t j : {1, 2, 0}) want.push_back(ops(in[f + j]));
  }
  EXPECT_EQ(file_samples(), want);
  EXPECT_EQ(file_samples().size(), 131070u);
}

TEST_F(FileCaptureTest, DroppedLanesHalveTheOutput) {
  configure(adc(250e6));
  start(65536);
  ASSERT_EQ(read_file({1, 0}).result, 0);
  const std::vector<uint16_t> in = expected(65536);
  std::vector<uint16_t> want;
  for (size_t i = 0; i < in.size(); i += 2) want.push_back(in[i]);
  EXPECT_EQ(file_samples(), want);
}

TEST_F(FileCaptureTest, RefusesBadArgumentsBeforeTraffic) {
  configure(adc(250e6));
  start(1024);
  bench.clear_calls();
  for (const std::vector<int32_t>& lanes :
       std::vector<std::vector<int32_t>>{{}, {0}, {2}, {1, 1}, {16}, {1, 3}}) {
    EXPECT_EQ(read_file(lanes).result, 108);
  }
  EXPECT_TRUE(bench.calls().empty());
  path = "/nonexistent-dir/capture.bin";
  const FileRead r = read_file({1});
  EXPECT_EQ(r.result, 107);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.this_call, 0);
}

TEST_F(FileCaptureTest, FullDiskIsReportedNotHidden) {
  if (!std::ifstream("/dev/full").good()) GTEST_SKIP() << "no /dev/full";
  configure(adc(250e6));
  start(2 * 65536);
  const std::string good = path;
  path = "/dev/full";
  EXPECT_EQ(read_file({1}).result, 112);
  EXPECT_EQ(record().started, 0);
  // The block is lost with the write: the capture cannot go on, it must start again.
  path = good;
  EXPECT_EQ(read_file({1}).result, 106);
}

// A file that cannot be opened at the first block costs nothing; part-way through a capture
// the blocks before it are out of reach, and going on would read the board's next block as the
// first: the capture is over.
TEST_F(FileCaptureTest, UnopenableFileBeforeOrPartWayThroughACapture) {
  configure(adc(250e6));
  const std::string good = path;
  for (const int32_t blocks_first : {0, 1}) {
    start(2 * 65536);
    for (int32_t b = 0; b < blocks_first; ++b) ASSERT_EQ(read_file({1}).result, 0);
    path = "/nonexistent-dir/capture.bin";
    const FileRead r = read_file({1});
    EXPECT_EQ(r.result, 107);
    EXPECT_EQ(write_index, 0);
    path = good;
    if (blocks_first > 0) {
      EXPECT_EQ(read_file({1}).result, 106);
      continue;
    }
    ASSERT_EQ(read_file({1}).result, 0);
    ASSERT_EQ(read_file({1}).result, 0);
    EXPECT_EQ(file_samples(), expected(2 * 65536));
  }
}

// A busy spell part-way through a capture: the read-backs stop with 102 and go on from where
// they stopped, with every sample in its place.
TEST_F(FileCaptureTest, BusySpellPartWayKeepsTheReadBacksPlace) {
  configure(adc(250e6));
  board().pause_at_block(1, 5000);
  start(3 * 65536);
  ASSERT_EQ(read_file({1}).result, 0);
  FileRead r = read_file({1}, {}, {}, {}, 100);
  EXPECT_EQ(r.result, 102);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(write_index, 65536);
  while (r.more == 1) {
    r = read_file({1});
    ASSERT_EQ(r.result, 0);
  }
  EXPECT_EQ(file_samples(), expected(3 * 65536));

  board().pause_at_block(2, 5000);
  ASSERT_EQ(VRX5200BrdCtrl_Start_ADC_to_DDR(3 * 65536, nullptr, 0, 0, 0), 0);
  std::vector<uint16_t> samples(3 * 65536);
  ArrayRead a = read_array(samples, {}, 100);
  EXPECT_EQ(a.result, 102);
  EXPECT_EQ(a.write_index, 2 * 65536);
  EXPECT_EQ(a.this_call, 2 * 65536);
  a = read_array(samples, {}, 10000, a.write_index);
  ASSERT_EQ(a.result, 0);
  EXPECT_EQ(a.more, 0);
  EXPECT_EQ(samples, expected(3 * 65536));
}

TEST_F(FileCaptureTest, WriteIndexNearItsLimitIsRefused) {
  configure(adc(250e6));
  start(65536);
  bench.clear_calls();
  write_index = INT32_MAX - 1000;
  EXPECT_EQ(read_file({1}).result, 108);
  std::vector<uint16_t> samples(1);
  EXPECT_EQ(read_array(samples, {}, 1000, INT32_MAX - 1000).result, 108);
  EXPECT_TRUE(bench.calls().empty());
  write_index = 0;
  EXPECT_EQ(read_file({1}).result, 0);
}

// The array read-back waits for register 2 to read 0, the file read-back for its bit 0 clear.
TEST_F(FileCaptureTest, ReadyMeansAZeroByteOrAClearBitZero) {
  configure(adc(250e6));
  board().ready_value = 0x02;
  start(1024);
  std::vector<uint16_t> samples(1024);
  EXPECT_EQ(read_array(samples, {}, 100).result, 102);
  const FileRead r = read_file({1});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(file_samples(), expected(1024));
}

TEST_F(FileCaptureTest, PatternMatchWithStartValueRearmsAndStartsTheFileAfresh) {
  configure_pattern_match();
  {
    std::ofstream stale(path, std::ios::binary);
    stale << "stale";
  }
  start(1024, 7, 0x42);
  const uint64_t first = board().captures - 1;
  const uint32_t key =
      static_cast<uint32_t>(board().sample(first + 1, 1)) << 16 | board().sample(first + 1, 3);
  FileRead r = read_file({1}, {}, {}, {key});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 1);
  EXPECT_EQ(r.this_call, 0);
  EXPECT_EQ(file_samples().size(), 2u);  // untouched: "stale" opened for appending only
  // The re-arm after the match carried the start value.
  const std::vector<Bytes> f = frames();
  EXPECT_EQ(f.back(), (Bytes{0x10, 0xFF, 0x00, 0x00, 0x11, 0x18, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00,
                             0x12, 0x42, 0x02, 0x00}));
  r = read_file({1});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 0);
  EXPECT_EQ(file_samples(), expected(1024));
}

TEST_F(FileCaptureTest, PatternMatchWithoutSwitchCoversWaitAndFirstBlock) {
  configure_pattern_match();
  start(1024);
  const uint64_t first = board().captures - 1;
  const uint32_t key =
      static_cast<uint32_t>(board().sample(first, 1)) << 16 | board().sample(first, 3);
  const FileRead r = read_file({1}, {}, {}, {key});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.more, 0);
  EXPECT_EQ(r.this_call, 1024);
  EXPECT_EQ(file_samples(), expected(1024));
}

}  // namespace
