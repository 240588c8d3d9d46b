// Pattern path: DAC session, playback start and pattern upload, against the bench's playback
// memory.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "pattern/pattern.h"
#include "support.h"

namespace {

Bytes write_frame(uint8_t reg, uint8_t value, int n = 1) {
  return repeat({static_cast<uint8_t>(0x10 | reg), value, reg, 0x00}, n);
}

DAC_Session_Params dac(double k, uint8_t cb1 = 0xA1, uint8_t cb2 = 0xB2) {
  DAC_Session_Params p = dac_session_params(k);  // K = 1 * k * 8 / (8 * 1) = k
  p.Control_Byte_1 = cb1;
  p.Control_Byte_2 = cb2;
  return p;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// ---- pure helpers ----

TEST(DacBands, RowBoundariesAreExact) {
  struct Case {
    double k;
    uint8_t band;
    int32_t a;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Case c : {Case{200e6, 0x01, 96}, Case{112.5e6, 0x01, 96},
                       Case{std::nextafter(112.5e6, 0.0), 0x01, 12}, Case{500e3, 0x31, 36},
                       Case{499999.9, 0x01, 0}, Case{std::nextafter(200e6, 1e9), 0x01, 0},
                       Case{60e6, 0x11, 4}, Case{nan, 0x01, 0}}) {
    const vrx::DacBand& b = vrx::dac_band(c.k);
    EXPECT_EQ(b.band_value, c.band) << c.k;
    EXPECT_EQ(b.runs[0], c.a) << c.k;
  }
  DAC_Session_Params zero = dac(1e8);
  zero.Rate_Divisor = 0;
  EXPECT_TRUE(std::isinf(vrx::dac_rate(zero)));
  EXPECT_EQ(vrx::dac_rate(dac(1e8)), 1e8);
}

TEST(PlaybackAddress, EndAndStartWords) {
  struct End {
    uint32_t length;
    bool valid;
    uint32_t word;
  };
  for (const End c :
       {End{4096, true, 0x3F8}, End{1048576, true, 0x3FFF8}, End{32, true, 0}, End{33, true, 0},
        End{35, true, 0}, End{36, false, 0}, End{31, false, 0}, End{126896, false, 0},
        End{1u << 26, true, 16383u << 10 | 1016}, End{(1u << 26) + 32, true, 1u << 26},
        End{4098, true, 0x3F8}, End{1u << 29, true, 7u << 26 | 16383u << 10 | 1016},
        End{(1u << 29) + 32, false, 0}, End{0, false, 0}}) {
    vrx::DdrAddress a{};
    EXPECT_EQ(vrx::end_address(c.length, a), c.valid) << c.length;
    if (c.valid) {
      EXPECT_EQ(a.word(), c.word) << c.length;
    }
  }
  struct Start {
    int32_t offset;
    bool valid;
    uint32_t word;
  };
  for (const Start c : {Start{0, true, 0}, Start{100, true, 24}, Start{4096, true, 1u << 10},
                        Start{4127, true, 1u << 10}, Start{(1 << 18) - 1, true, 63u << 10 | 1016},
                        Start{1 << 18, false, 0}, Start{-32, false, 0}}) {
    vrx::DdrAddress a{};
    EXPECT_EQ(vrx::start_address(c.offset, a), c.valid) << c.offset;
    if (c.valid) {
      EXPECT_EQ(a.word(), c.word) << c.offset;
    }
  }
}

TEST(PlaybackAddress, BlockPlan) {
  struct Case {
    uint32_t length;
    int32_t blocks, last;
  };
  for (const Case c : {Case{4096, 1, 4096}, Case{63447, 1, 63447}, Case{63448, 1, 63448},
                       Case{63449, 2, 1}, Case{1048576, 17, 33408}, Case{253792, 4, 63448}}) {
    int32_t blocks = 0, last = 0;
    vrx::plan_blocks(c.length, blocks, last);
    EXPECT_EQ(blocks, c.blocks) << c.length;
    EXPECT_EQ(last, c.last) << c.length;
  }
}

TEST(Upload, DeinterleaveSplitsFirstAndSecondBytes) {
  for (uint32_t n = 0; n < 11; ++n) {
    Bytes words(2 * n), first(n + 1, 0xEE), second(n + 1, 0xEE);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint8_t>(i);
    vrx::deinterleave(words.data(), n, first.data(), second.data());
    for (uint32_t j = 0; j < n; ++j) {
      EXPECT_EQ(first[j], 2 * j) << n;
      EXPECT_EQ(second[j], 2 * j + 1) << n;
    }
    EXPECT_EQ(first[n], 0xEE) << n;  // nothing past the n words
  }
}

// ---- on the bench ----

class PatternTest : public BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    open_board();
  }
  vrx::BoardRecord& record() { return vrx::g_state.boards[0]; }
  void configure(const DAC_Session_Params& p = dac(100e6)) {
    ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 0);
    bench.clear_calls();
  }
  static std::vector<uint16_t> make_pattern(size_t n) {
    std::vector<uint16_t> words(n);
    for (size_t i = 0; i < n; ++i) words[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
    return words;
  }
};

TEST_F(PatternTest, SessionExchangesInTwoPasses) {
  const DAC_Session_Params p = dac(100e6);
  ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 0);
  const std::vector<Bytes> expect = {
      write_frame(3, 0x01),     write_frame(3, 0x05),     write_frame(3, 0x1A, 12),
      write_frame(3, 0x5A, 8),  write_frame(3, 0x7A, 60), write_frame(3, 0x4A, 12),
      write_frame(3, 0x8A, 60), write_frame(3, 0x1E, 12), write_frame(3, 0x5E, 8),
      write_frame(3, 0x7E, 60), write_frame(3, 0x4E, 12), write_frame(3, 0x8E, 60)};
  EXPECT_EQ(frames(), expect);
  EXPECT_EQ(record().session_kind, 2);
  EXPECT_EQ(record().next_block, 1);
  EXPECT_EQ(record().started, 0);

  bench.clear_calls();
  const DAC_Session_Params slow = dac(1e6);
  ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&slow), 0);
  EXPECT_EQ(frames()[5], write_frame(3, 0x8A, 468));  // channels A, C, D, E in this band
  EXPECT_EQ(frames()[9], write_frame(3, 0x8E, 468));

  bench.clear_calls();
  DAC_Session_Params none = dac(1e8);
  none.Rate_Divisor = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&none), 0);
  EXPECT_EQ(frames(), (std::vector<Bytes>{write_frame(3, 0x01), write_frame(3, 0x05)}));
}

TEST_F(PatternTest, SessionIsSetWhateverTheExchangesReturn) {
  record().session_kind = 1;
  bench.short_write(entry_of_port(2), 0, 0);  // every write fails
  const DAC_Session_Params p = dac(100e6);
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 10);
  EXPECT_EQ(record().session_kind, 2);
  // One failing run among good ones is still a failure: the first failure is the result.
  bench.clear_faults();
  bench.short_write(entry_of_port(2), 9, 0);  // a run of pass 1
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 10);
  EXPECT_EQ(frames().back(), write_frame(3, 0x8E, 60));  // the later runs still went out
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(nullptr), 108);
  VRX5200BrdCtrl_Close_Session();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(nullptr), 101);  // no board comes first
}

TEST_F(PatternTest, PlaybackStartFrameAndPlan) {
  configure(dac(100e6, 0x5C, 0x6D));
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 0), 0);
  Bytes expect;
  for (const Bytes& f :
       {write_frame(0, 0xFF), write_frame(1, 0x5C), write_frame(4, 0xF8), write_frame(5, 0x03),
        write_frame(6, 0x00), write_frame(7, 0x00), write_frame(8, 0x00), write_frame(9, 0x00),
        write_frame(0, 0x00), write_frame(2, 0x6D)}) {
    expect.insert(expect.end(), f.begin(), f.end());
  }
  EXPECT_EQ(frames(), std::vector<Bytes>{expect});
  EXPECT_EQ(record().block_count, 1);
  EXPECT_EQ(record().last_block_size, 4096);
  EXPECT_EQ(record().started, 1);
  EXPECT_EQ(board().playback_starts, 1);
  EXPECT_EQ(board().end_word, 0x3F8u);

  bench.clear_calls();
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(1048576, 100), 0);
  EXPECT_EQ(board().end_word, 0x3FFF8u);
  EXPECT_EQ(board().start_word, 24u);
  EXPECT_EQ(record().block_count, 17);
  EXPECT_EQ(record().last_block_size, 33408);
}

TEST_F(PatternTest, PlaybackStartRefusals) {
  EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 0), 103);
  record().session_kind = 1;
  EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 0), 104);
  configure();
  record().block_count = 9;
  for (uint32_t length : {0u, 31u, 36u, 126896u, (1u << 29) + 32}) {
    EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(length, 0), 4) << length;
  }
  EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, -32), 4);
  EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(4096, 1 << 18), 4);
  EXPECT_TRUE(bench.calls().empty());
  EXPECT_EQ(record().block_count, 9);  // the record is not changed
}

TEST_F(PatternTest, ArrayUploadsLandBitExact) {
  struct Case {
    uint32_t words;
    int blocks;
  };
  // 63,448 + 8 words: a full block and a block of 8 (lengths must end within 3 words of a
  // 32-word burst).
  for (const Case c : {Case{128, 1}, Case{63448 + 8, 2}, Case{253792, 4}}) {
    configure();
    const std::vector<uint16_t> pattern = make_pattern(c.words);
    int32_t position = -1, done = 0;
    ASSERT_EQ(
        VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, 100000, &position, c.words, &done),
        0);
    EXPECT_EQ(done, 1) << c.words;
    EXPECT_EQ(position, static_cast<int32_t>(2 * c.words));
    EXPECT_EQ(board().pattern(0, c.words), pattern) << c.words;
    EXPECT_EQ(bench.calls(entry_of_port(0), "FT_Write").size(), 3u * c.blocks);
    EXPECT_EQ(record().started, 0);
  }
  // 128 words: 128 bytes per port, first bytes on port 0.
  const std::vector<Bytes> w = writes(entry_of_port(0));
  EXPECT_EQ(w[w.size() - 2].size(), 63448u);
}

TEST_F(PatternTest, NegativeBudgetWritesOneBlockPerCall) {
  configure();
  const std::vector<uint16_t> pattern = make_pattern(253792);
  int32_t position = 0, done = 0, calls = 0;
  while (done == 0 && calls < 10) {
    ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, -1, &position, 253792, &done),
              0);
    ++calls;
    EXPECT_EQ(position, 2 * 63448 * calls);
  }
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(board().pattern(0, 253792), pattern);
}

// One pattern uploaded in sections, each to a memory region of its own with a playback start of
// its own: the upload cursor goes on from section to section, and only a DAC session sets it back
// to 0. A block that fails takes it back to where its section began, so the section goes out
// again from its first word. By the array upload (which starts the playback itself, or after an
// explicit start) and by the file upload.
TEST_F(PatternTest, SectionsOfOnePatternFollowTheUploadCursor) {
  const uint32_t first = 64, second = 63448 + 8;  // one block; two blocks
  const std::vector<uint16_t> pattern = make_pattern(first + second);
  const std::string path = temp_file("sections.bin");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pattern.data()),
              static_cast<std::streamsize>(pattern.size() * 2));
  }
  enum Via { kArray, kStartThenArray, kStartThenFile };
  for (const Via via : {kArray, kStartThenArray, kStartThenFile}) {
    for (const bool fail : {false, true}) {
      const std::string what = std::to_string(via) + (fail ? " with a failed block" : "");
      configure();
      board().dac_bytes[0].clear();
      board().dac_bytes[1].clear();
      int32_t position = -1, done = 0;
      // One call: the upload of a section as far as it gets. Returns its result.
      auto upload = [&](uint32_t length, int32_t offset) {
        if (via != kArray && record().started != 1) {
          EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(length, offset), 0) << what;
        }
        if (via == kStartThenFile) {
          return VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done);
        }
        return VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), offset, -1, &position, length,
                                                   &done);
      };
      ASSERT_EQ(upload(first, 0), 0) << what;
      ASSERT_EQ(done, 1) << what;
      if (via != kStartThenFile) {
        EXPECT_EQ(position, 2 * 64) << what;
      }
      done = 0;
      ASSERT_EQ(upload(second, 4096), 0) << what;  // words 64 .. 63511
      if (fail) {
        bench.short_write(entry_of_port(0), 2, 3);  // the data of the section's second block
        EXPECT_EQ(upload(second, 4096), 10) << what;
        EXPECT_EQ(done, 0) << what;
        EXPECT_EQ(record().started, 0) << what;
        if (via != kStartThenFile) {
          EXPECT_EQ(position, 2 * 64) << what;  // back where the section began
        }
        bench.clear_faults();
        if (via == kStartThenFile) {  // the file upload does not start the playback itself
          EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 106) << what;
        }
        ASSERT_EQ(upload(second, 4096), 0) << what;  // the section's first block again
      }
      ASSERT_EQ(upload(second, 4096), 0) << what;
      EXPECT_EQ(done, 1) << what;
      if (via != kStartThenFile) {
        EXPECT_EQ(position, static_cast<int32_t>(2 * pattern.size())) << what;
      }
      EXPECT_EQ(board().pattern(0, first),
                std::vector<uint16_t>(pattern.begin(), pattern.begin() + first))
          << what;
      EXPECT_EQ(board().pattern(4096, second),
                std::vector<uint16_t>(pattern.begin() + first, pattern.end()))
          << what;
    }
  }
  // The one-call upload sends its whole pattern from its first word, wherever the cursor is.
  ASSERT_EQ(VRX5200BrdCtrl_Write_to_DAC(first, pattern.data()), 0);
  EXPECT_EQ(board().pattern(0, first),
            std::vector<uint16_t>(pattern.begin(), pattern.begin() + first));
  // A plan for a longer pattern than the caller passes is refused before any block goes out,
  // even when its first blocks would fit.
  configure();
  int32_t position = 0, done = 0;
  const std::vector<uint16_t> longer = make_pattern(63448 + 64);
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(2 * 63448 + 16, 0), 0);
  bench.clear_calls();
  EXPECT_EQ(
      VRX5200BrdCtrl_Write_DDR_from_Array(longer.data(), 0, 1000, &position, 63448 + 64, &done),
      108);
  EXPECT_TRUE(bench.calls().empty());
}

TEST_F(PatternTest, OneCallUploadAndItsChecks) {
  const std::vector<uint16_t> pattern = make_pattern(70000 - 70000 % 32);
  EXPECT_EQ(VRX5200BrdCtrl_Write_to_DAC(static_cast<uint32_t>(pattern.size()), pattern.data()),
            103);
  configure();
  ASSERT_EQ(VRX5200BrdCtrl_Write_to_DAC(static_cast<uint32_t>(pattern.size()), pattern.data()), 0);
  EXPECT_EQ(board().pattern(0, pattern.size()), pattern);
  EXPECT_EQ(VRX5200BrdCtrl_Write_to_DAC(36, pattern.data()), 4);
  EXPECT_EQ(VRX5200BrdCtrl_Write_to_DAC(64, nullptr), 108);
}

TEST_F(PatternTest, FailingBlockEndsTheUploadAndTheNextCallStartsOver) {
  configure();
  const uint32_t n = 2 * 63448 + 16;
  const std::vector<uint16_t> pattern = make_pattern(n);
  int32_t position = 0, done = 0;
  bench.short_write(entry_of_port(1), 2, 5);  // block 1's data on port 1
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, 1000, &position, n, &done), 10);
  EXPECT_EQ(done, 0);  // never "done" with a block missing
  EXPECT_EQ(record().started, 0);
  EXPECT_EQ(record().next_block, 2);
  bench.clear_faults();
  bench.clear_calls();
  ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, 1000, &position, n, &done), 0);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(board().playback_starts, 2);
  EXPECT_EQ(board().pattern(0, n), pattern);
  // Every block goes to data port 0 first, then to data port 1.
  std::vector<int> order;
  for (const sim::Call& c : bench.calls()) {
    if (c.name == "FT_Write" && (c.entry == entry_of_port(0) || c.entry == entry_of_port(1)) &&
        c.data.size() > 9) {
      order.push_back(c.entry == entry_of_port(0) ? 0 : 1);
    }
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 0, 1, 0, 1}));
}

// A refused call in the middle of an upload changes nothing: the upload goes on where it was.
TEST_F(PatternTest, RefusalsInTheMiddleOfAnUploadChangeNothing) {
  configure();
  const uint32_t n = 2 * 63448 + 16;
  const std::vector<uint16_t> pattern = make_pattern(n);
  int32_t position = 0, done = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, -1, &position, n, &done), 0);
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(nullptr), 108);
  EXPECT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(n + 4, 0), 4);
  EXPECT_TRUE(bench.calls().empty());
  while (done != 1) {
    ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, -1, &position, n, &done), 0);
  }
  EXPECT_EQ(board().pattern(0, n), pattern);
  EXPECT_EQ(board().playback_starts, 1);
}

TEST_F(PatternTest, FileUploadOneBlockPerCall) {
  const std::string path = temp_file("pattern.bin");
  const std::vector<uint16_t> pattern = make_pattern(63448 + 40);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pattern.data()),
              static_cast<std::streamsize>(pattern.size() * 2));
  }
  int32_t done = 0;
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 103);
  record().session_kind = 1;
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 103);
  configure();
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 106);  // not started
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(static_cast<uint32_t>(pattern.size()), 0), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File("/nonexistent/pattern.bin", 0, 0, &done), 107);
  ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 0);
  EXPECT_EQ(done, 0);
  ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 0);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(board().pattern(0, pattern.size()), pattern);
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 106);
  // A file that cannot be opened is reported first, started or not.
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File("/nonexistent/pattern.bin", 0, 0, &done), 107);

  // A block that fails ends the playback; a new playback start sends the pattern from its
  // first word again. (A new upload of the pattern begins with a DAC session.)
  configure();
  board().dac_bytes[0].clear();
  board().dac_bytes[1].clear();
  done = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(static_cast<uint32_t>(pattern.size()), 0), 0);
  bench.short_write(entry_of_port(0), 2, 7);
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 10);
  bench.clear_faults();
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 106);
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(static_cast<uint32_t>(pattern.size()), 0), 0);
  while (done != 1) ASSERT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 0);
  EXPECT_EQ(board().pattern(0, pattern.size()), pattern);
}

TEST_F(PatternTest, ShortPatternFileSendsNothing) {
  const std::string path = temp_file("short.bin");
  write_text(path, std::string(100, 'x'));  // 50 words for a plan of 64
  configure();
  ASSERT_EQ(VRX5200BrdCtrl_Start_DDR_to_DAC(64, 0), 0);
  bench.clear_calls();
  int32_t done = 0;
  EXPECT_EQ(VRX5200BrdCtrl_Write_DDR_from_File(path.c_str(), 0, 0, &done), 112);
  EXPECT_TRUE(bench.calls(entry_of_port(0)).empty());
  EXPECT_EQ(record().next_block, 1);
}

}  // namespace
