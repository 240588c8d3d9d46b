#include "tools/arguments.h"

#include <climits>
#include <cstring>
#include <optional>
#include <sstream>

#include "client/capture_output.h"
#include "client/units.h"
#include "tools/failure.h"

namespace tool {

long parse_number(const std::string& text, const char* what, long min, long max) {
  const std::optional<long long> v = client::parse_whole(text);
  if (!v || *v < min || *v > max) {
    fail(std::string("bad ") + what + ": \"" + text + "\" (" + std::to_string(min) + " to " +
             std::to_string(max) + ", decimal or 0x hex)",
         kExitUsage);
  }
  return static_cast<long>(*v);
}

std::vector<int32_t> parse_list(const std::string& text, const char* what) {
  std::vector<int32_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const std::optional<long long> v = client::parse_whole(item);
    if (!v || *v < INT32_MIN || *v > INT32_MAX) {
      fail(std::string("bad ") + what + ": \"" + text + "\"", kExitUsage);
    }
    out.push_back(static_cast<int32_t>(*v));
  }
  return out;
}

double parse_rate(const std::string& text) {
  const std::optional<double> hz = client::parse_rate_hz(text);
  if (!hz) {
    fail("bad rate: \"" + text +
             "\" (1 Hz to 100 GHz, a decimal number with k, M or G: 250M, 1.2G, 2.5e8)",
         kExitUsage);
  }
  return *hz;
}

void parse_ops(const std::string& text, std::vector<int32_t>& codes,
               std::vector<int32_t>& operands) {
  const std::string why = client::parse_bit_ops(text, codes, operands);
  if (!why.empty()) fail(why, kExitUsage);
}

namespace {

// The text of a whole number: decimal (leading zeros too, which the parser would take for octal)
// or 0x hex; negative only where the option is signed.
std::string strict_whole(std::string& text, bool is_signed) {
  const std::optional<long long> v = client::parse_whole(text);
  if (!v || (!is_signed && (*v < 0 || text[0] == '-'))) {
    return "\"" + text + "\" is not a " + (is_signed ? "" : "non-negative ") +
           "whole number (decimal or 0x hex)";
  }
  const bool hex = text.size() > 2 && (text[1] == 'x' || text[1] == 'X');
  if (!hex) text = std::to_string(*v);
  return "";
}

std::string strict_decimal(std::string& text) {
  if (!client::parse_decimal(text)) return "\"" + text + "\" is not a finite decimal number";
  return "";
}

}  // namespace

void make_numbers_strict(CLI::App& app) {
  for (CLI::Option* opt : app.get_options()) {
    if (opt->get_expected_max() == 0) continue;  // a flag
    const std::string type = opt->get_type_name();
    auto starts = [&type](const char* t) {
      return type.rfind(t, 0) == 0 &&
             (type.size() == std::strlen(t) || type[std::strlen(t)] == ':');
    };
    // Transforms run before the option's checks (its ranges), on the text as given.
    if (starts("INT") || starts("UINT")) {
      const bool is_signed = starts("INT");
      opt->transform(CLI::Validator(
          [is_signed](std::string& text) { return strict_whole(text, is_signed); }, "", ""));
    } else if (starts("FLOAT")) {
      opt->transform(
          CLI::Validator([](std::string& text) { return strict_decimal(text); }, "", ""));
    }
  }
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
    make_numbers_strict(*sub);
}

}  // namespace tool
