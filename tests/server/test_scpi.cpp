// The SCPI socket's grammar: message units with the path rule, header patterns, answers.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "server/scpi_parse.h"

namespace {

using server::scpi::Param;
using server::scpi::ParamType;
using server::scpi::Pattern;
using server::scpi::Unit;

// A unit as text: "*IDN?", "CAPT:POIN 4096", "error -113"; parameters by type: n=number,
// c=character, s=string, b=block.
std::string show(const Unit& u) {
  if (u.error.code != 0) return "error " + std::to_string(u.error.code);
  std::string out = u.common ? "*" : "";
  for (size_t i = 0; i < u.nodes.size(); ++i) out += (i ? ":" : "") + u.nodes[i];
  if (u.query) out += "?";
  for (size_t i = 0; i < u.params.size(); ++i) {
    const Param& p = u.params[i];
    out += i ? "," : " ";
    out += p.type == ParamType::kNumber      ? "n"
           : p.type == ParamType::kCharacter ? "c"
           : p.type == ParamType::kString    ? "s"
                                             : "b";
    out += p.type == ParamType::kNumber ? std::to_string(static_cast<long long>(p.number))
                                        : "(" + p.text + ")";
  }
  return out;
}

TEST(ScpiParse, SplitsMessagesWithThePathRule) {
  struct Case {
    const char* line;
    std::vector<std::string> units;
  };
  const Case cases[] = {
      {"*IDN?", {"*IDN?"}},
      {"  *idn? ", {"*IDN?"}},
      {"*ESE 32;*ESE?", {"*ESE n32", "*ESE?"}},
      {"", {}},
      {";;", {"error -102"}},
      {"meas:snr?", {"MEAS:SNR?"}},
      // After ';' a unit continues at the previous path; ':' goes back to the root; common
      // units leave the path alone.
      {"MEAS:SNR?;SINAD?;:SYST:ERR?", {"MEAS:SNR?", "MEAS:SINAD?", "SYST:ERR?"}},
      {"SENS:CAPT:POIN 4096;RATE 1E8;*OPC;TIM 5",
       {"SENS:CAPT:POIN n4096", "SENS:CAPT:RATE n100000000", "*OPC", "SENS:CAPT:TIM n5"}},
      {"CAPT:POIN 64;", {"CAPT:POIN n64"}},
      // Parameters of every kind.
      {"CAPT:LAN 0, 1 ,2", {"CAPT:LAN n0,n1,n2"}},
      {"REG 3,#H1F", {"REG n3,n31"}},
      {"REG 3,#b101;REG 4,#Q17", {"REG n3,n5", "REG n4,n15"}},
      {"CAPT:RATE -2.5e+3", {"CAPT:RATE n-2500"}},
      {"CAPT:POIN .5E1", {"CAPT:POIN n5"}},
      {"FORM:BORD swap", {"FORM:BORD c(swap)"}},
      {"SYST:TOK \"a;b\"\"c\"", {"SYST:TOK s(a;b\"c)"}},
      {"SYST:TOK 'it''s'", {"SYST:TOK s(it's)"}},
      {"X #15ab;cd;Y", {"X b(ab;cd)", "Y"}},
      {"X #0a;b", {"X b(a;b)"}},
      {"CAPT:REG6 9", {"CAPT:REG6 n9"}},
      // Malformed units end the message: theirs is the last, with the error.
      {"*IDN?;CAPT:POIN 4096x;*OPC?", {"*IDN?", "error -138"}},
      {"*IDN?;;*OPC?", {"*IDN?", "error -102"}},
      {"*IDN?; ;*OPC?", {"*IDN?", "error -102"}},
      {";*IDN?", {"error -102"}},
      {"CAPT:POIN,4", {"error -103"}},
      {"CAPT:POIN 4,", {"error -102"}},
      {"CAPT:POIN 4 5", {"error -103"}},
      {"CAPT:RATE 250 MHZ;*OPC?", {"error -138"}},
      {"CAPT::POIN 4", {"error -102"}},
      {"CAPT:POIN e5", {"CAPT:POIN c(e5)"}},
      {"CAPT:POIN 1e", {"error -121"}},
      {"CAPT:POIN +", {"error -121"}},
      {"CAPT:POIN 1e999", {"error -123"}},
      {"SYST:TOK \"open", {"error -151"}},
      {"X #9123", {"error -161"}},
      {"X #15ab", {"error -161"}},
      {"X #HZZ", {"error -121"}},
      {"ABCDEFGHIJKLM", {"error -112"}},
      {"ABCDEFGHIJKL", {"ABCDEFGHIJKL"}},
      {"*", {"error -102"}},
      {"?", {"error -102"}},
      {"\x7fIDN", {"error -101"}},
      {"MEAS:SNR?X", {"error -103"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const Unit& u : server::scpi::parse_message(c.line)) got.push_back(show(u));
    EXPECT_EQ(got, c.units) << c.line;
  }
}

TEST(ScpiParse, MatchesHeaderPatterns) {
  struct Case {
    const char* pattern;
    const char* line;
    bool match;
    std::vector<int> suffixes;
  };
  const Case cases[] = {
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR?", true, {}},
      {"SYSTem:ERRor[:NEXT]?", "system:error:next?", true, {}},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR:NEXT?", true, {}},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR", false, {}},    // not the query
      {"SYSTem:ERRor[:NEXT]?", "SYSTE:ERR?", false, {}},  // neither form
      {"SYSTem:ERRor[:NEXT]?", "SYS:ERR?", false, {}},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR:NEX?", false, {}},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR:NEXT:NEXT?", false, {}},
      {"[SENSe:]CAPTure:POINts", "CAPT:POIN 8", true, {}},
      {"[SENSe:]CAPTure:POINts", "sense:capture:points 8", true, {}},
      {"[SENSe:]CAPTure:POINts", "SENS:POIN 8", false, {}},
      {"[SENSe:]CAPTure:REGister#", "CAPT:REG 1", true, {1}},
      {"[SENSe:]CAPTure:REGister#", "SENS:CAPT:REGISTER7 1", true, {7}},
      {"[SENSe:]CAPTure:REGister#", "CAPT:REGI7 1", false, {}},
      {"INITiate[:IMMediate]", "INIT", true, {}},
      {"INITiate[:IMMediate]", "init:imm", true, {}},
      {"REGister[:VALue]?", "REG? 3", true, {}},
      {"REGister[:VALue]?", "REG:VAL? 3", true, {}},
      {"*ESE?", "*ese?", true, {}},
      {"*ESE?", "*ESE", false, {}},
      {"*ESE", "ESE 1", false, {}},
      {"*RST", "*RST?", false, {}},
  };
  for (const Case& c : cases) {
    const auto units = server::scpi::parse_message(c.line);
    ASSERT_EQ(units.size(), 1u) << c.line;
    std::vector<int> suffixes;
    EXPECT_EQ(Pattern(c.pattern).match(units[0], suffixes), c.match) << c.pattern << " " << c.line;
    if (c.match) {
      EXPECT_EQ(suffixes, c.suffixes) << c.line;
    }
  }
}

TEST(ScpiParse, FormatsAnswers) {
  using server::scpi::block_header;
  using server::scpi::format_real;
  using server::scpi::quoted;
  EXPECT_EQ(format_real(NAN), "9.91E37");
  EXPECT_EQ(format_real(INFINITY), "9.9E37");
  EXPECT_EQ(format_real(-INFINITY), "-9.9E37");
  EXPECT_EQ(format_real(250e6), "250000000");
  EXPECT_EQ(format_real(1e300), "1E+300");
  // The fewest digits that read back as the same double.
  for (double x : {72.123456789012345, -0.1, 1.0 / 3, 1e-300}) {
    EXPECT_EQ(std::stod(format_real(x)), x);
  }
  EXPECT_EQ(quoted("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(block_header(0), "#10");
  EXPECT_EQ(block_header(2097152), "#72097152");
  EXPECT_STREQ(server::scpi::error_text(-113), "Undefined header");
  EXPECT_STREQ(server::scpi::error_text(0), "No error");
}

}  // namespace
