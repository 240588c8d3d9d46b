// vrx5200 convert: a text sample file into the binary pattern DAC_test.bin, with warnings about
// what the conversion takes silently.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/files.h"
#include "tools/text_check.h"

namespace tool {
namespace {

// The default lane map of `columns` columns: -1,1,-2,2,... (each column a little-endian word).
std::vector<int32_t> default_lane_map(int32_t columns) {
  std::vector<int32_t> map;
  for (int32_t c = 1; c <= columns; ++c) {
    map.push_back(-c);
    map.push_back(c);
  }
  return map;
}

// Says which lines the conversion read silently as 0 or as their leading digits.
void warn_about_text(const ConvertOptions& c, const std::string& input, int32_t lines) {
  const TextFindings f = check_sample_text(input, c.delimiters, c.columns,
                                           static_cast<size_t>(lines), !c.twos_complement);
  if (f.non_number_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" hold tokens that are not whole "
                 "decimal numbers, converted as their leading digits or 0 (first: line %zu)\n",
                 f.non_number_lines, lines, c.input.c_str(), f.first_non_number);
  }
  if (f.out_of_range_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" hold numbers outside %s, "
                 "converted as their low 16 bits (first: line %zu)\n",
                 f.out_of_range_lines, lines, c.input.c_str(),
                 c.twos_complement ? "-32768 to 65535" : "-32768 to 32767 (offset binary)",
                 f.first_out_of_range);
  }
  if (f.short_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" have fewer than %d columns, the "
                 "missing ones converted as 0 (first: line %zu)\n",
                 f.short_lines, lines, c.input.c_str(), c.columns, f.first_short);
  }
}

// The conversion's refusals and failures in words.
void check_conversion(const ConvertOptions& c, int32_t lines) {
  switch (lines) {
    case VRX5200_CONVERT_NOT_DELIMITED:
      fail("\"" + c.input + "\" has several columns but no '" + c.delimiters.substr(0, 1) +
               "' in it; give --delimiters or --columns 1",
           kExitUsage);
    case VRX5200_CONVERT_INVALID_ARGUMENT:
      fail(
          "bad conversion arguments: lane map entries 1 to 10 or -1 to -10 (each byte at most "
          "as often as the columns allow), 1 to 10 columns",
          kExitUsage);
    case VRX5200_CONVERT_INPUT_OPEN_FAILED:
      fail("cannot read \"" + c.input + "\"", kExitFile);
    case VRX5200_CONVERT_OUTPUT_OPEN_FAILED:
      fail("cannot write \"" + c.output_dir + "/DAC_test.bin\"", kExitFile);
    case VRX5200_CONVERT_EMPTY_LINE:
      fail("\"" + c.input + "\" has a line of delimiters only");
    case VRX5200_CONVERT_FILE_IO:
      fail("reading \"" + c.input + "\" or writing \"" + c.output_dir + "/DAC_test.bin\" failed",
           kExitFile);
    default:
      if (lines < 0) fail("the conversion failed: result " + std::to_string(lines));
      break;
  }
}

}  // namespace

int32_t run_convert(client::Library& lib, const ConvertOptions& c) {
  if (c.columns < 1 || c.columns > 10) {
    fail("bad column count " + std::to_string(c.columns) + " (1 to 10)", kExitUsage);
  }
  const std::vector<int32_t> map =
      c.lane_map.empty() ? default_lane_map(c.columns) : parse_list(c.lane_map, "lane map");
  std::vector<int32_t> multipliers(4096, 1);
  if (!c.multipliers.empty()) {
    std::ifstream in(c.multipliers);
    if (!in) fail("cannot read multipliers from \"" + c.multipliers + "\"", kExitFile);
    for (int32_t& m : multipliers) {
      if (!(in >> m)) break;
    }
  }
  // A directory or a missing file is told with its reason; "-" is standard input.
  const std::string input = input_path(c.input, "standard-input.txt");
  check_readable_file(input);
  // The conversion writes into a private directory beside the pattern's place, and the pattern
  // takes that place only when the conversion succeeded: a refused or failed conversion leaves
  // an existing DAC_test.bin as it was.
  const std::string target = c.output_dir + "/DAC_test.bin";
  std::string work, error;
  if (!make_private_dir(work, error, "DAC_test.bin", c.output_dir)) {
    fail("cannot write \"" + target + "\": " + error, kExitFile);
  }
  auto convert = c.twos_complement ? lib.Twos_Complement : lib.Offset_BinRep;
  const int32_t lines =
      convert(input.c_str(), c.delimiters.c_str(), work.c_str(), multipliers.data(), map.data(),
              static_cast<int32_t>(map.size()), c.columns);
  if (lines < 0) remove_private_dir(work);
  check_conversion(c, lines);
  if (std::rename((work + "/DAC_test.bin").c_str(), target.c_str()) != 0) {
    const std::string reason = errno_text();
    remove_private_dir(work);
    fail("cannot write \"" + target + "\": " + reason, kExitFile);
  }
  remove_private_dir(work);
  warn_about_text(c, input, lines);
  return lines;
}

namespace {

class ConvertCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    ConvertOptions& conv = c_;
    auto* convert = app.add_subcommand("convert", "convert a text sample file into DAC_test.bin");
    convert->add_option("INPUT", conv.input, "text sample file; - for standard input")->required();
    convert->add_option("--delimiters", conv.delimiters, "column delimiters")
        ->capture_default_str();
    convert->add_option("-d,--output-dir", conv.output_dir, "directory of DAC_test.bin")
        ->capture_default_str();
    convert->add_option("--lane-map", conv.lane_map,
                        "output byte order, e.g. -1,1,-2,2 (default -1,1,...,-C,C for C columns)");
    convert->add_option("--columns", conv.columns, "columns per line (1-10)")
        ->capture_default_str();
    convert->add_flag("--twos-complement", conv.twos_complement,
                      "two's complement (default offset binary)");
    convert->add_option("--multipliers", conv.multipliers,
                        "file of per-line factors (.vrx inputs)");
    convert->footer(
        "Tokens that are not whole decimal numbers convert as their leading digits (0 without\n"
        "any); the tool warns how many lines held such tokens.\n\n"
        "Examples:\n  vrx5200 convert samples.txt -d out\n"
        "  vrx5200 convert iq.txt --columns 2 --twos-complement");
    return convert;
  }
  int run(Context& ctx) override {
    run_convert(ctx.conversion_library(), c_);
    return kExitOk;
  }

 private:
  ConvertOptions c_;
};

}  // namespace

std::unique_ptr<Command> convert_command() {
  return std::make_unique<ConvertCommand>();
}

}  // namespace tool
