#include "server/scpi_parse.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace server::scpi {
namespace {

// The longest program mnemonic IEEE 488.2 allows.
constexpr size_t kMaxMnemonic = 12;

bool is_alpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
  return is_alpha(c) || is_digit(c) || c == '_';
}
// IEEE 488.2 white space: the control characters but newline, and the space.
bool is_space(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= 32 && c != '\n';
}
bool printable(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 32 && u < 127;
}
std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return out;
}

// Reads one unit of `line` from `at` (left at the ';' or the end that ends it).
class UnitReader {
 public:
  UnitReader(std::string_view line, size_t& at) : s_(line), at_(at) {}

  // False for an empty unit.
  bool read(Unit& u, bool& rooted) {
    skip_space();
    if (end() || s_[at_] == ';') return false;
    rooted = false;
    if (s_[at_] == '*') {
      ++at_;
      u.common = true;
      u.nodes.push_back(mnemonic(u));
    } else {
      if (s_[at_] == ':') {
        rooted = true;
        ++at_;
      }
      u.nodes.push_back(mnemonic(u));
      while (u.error.code == 0 && !end() && s_[at_] == ':') {
        ++at_;
        u.nodes.push_back(mnemonic(u));
      }
    }
    if (u.error.code != 0) return true;
    if (!end() && s_[at_] == '?') {
      u.query = true;
      ++at_;
    }
    if (end() || s_[at_] == ';') return true;
    if (!is_space(s_[at_])) return failed(u, -103, "");  // no space between header and data
    skip_space();
    if (end() || s_[at_] == ';') return true;
    for (;;) {
      Param p{ParamType::kNumber, {}, 0};
      if (!param(u, p)) return true;
      u.params.push_back(std::move(p));
      skip_space();
      if (end() || s_[at_] == ';') return true;
      if (s_[at_] != ',') return failed(u, -103, "");
      ++at_;
      skip_space();
      if (end() || s_[at_] == ';') return failed(u, -102, "a parameter after ','");
    }
  }

 private:
  bool end() const { return at_ >= s_.size(); }
  void skip_space() {
    while (!end() && is_space(s_[at_])) ++at_;
  }
  bool fail(Unit& u, int code, std::string info) {
    if (u.error.code == 0) u.error = {code, std::move(info)};
    return false;
  }
  // The same, for read(): the unit is there, malformed.
  bool failed(Unit& u, int code, std::string info) {
    fail(u, code, std::move(info));
    return true;
  }

  std::string mnemonic(Unit& u) {
    const size_t first = at_;
    if (end() || !is_alpha(s_[at_])) {
      fail(u, end() || printable(s_[at_]) ? -102 : -101, "");
      return "";
    }
    while (!end() && is_name_char(s_[at_])) ++at_;
    if (at_ - first > kMaxMnemonic) fail(u, -112, "");
    return upper(s_.substr(first, at_ - first));
  }

  bool param(Unit& u, Param& p) {
    const char c = s_[at_];
    if (c == '"' || c == '\'') return string_data(u, p, c);
    if (c == '#') return hash_data(u, p);
    if (is_digit(c) || c == '+' || c == '-' || c == '.') return decimal(u, p);
    if (is_alpha(c)) {
      const size_t first = at_;
      while (!end() && is_name_char(s_[at_])) ++at_;
      p.type = ParamType::kCharacter;
      p.text = std::string(s_.substr(first, at_ - first));
      return true;
    }
    return fail(u, printable(c) ? -102 : -101, "");
  }

  bool string_data(Unit& u, Param& p, char quote) {
    p.type = ParamType::kString;
    ++at_;
    for (;;) {
      if (end()) return fail(u, -151, "the string has no closing quote");
      if (s_[at_] == quote) {
        if (at_ + 1 < s_.size() && s_[at_ + 1] == quote) {
          p.text += quote;
          at_ += 2;
          continue;
        }
        ++at_;
        return true;
      }
      p.text += s_[at_++];
    }
  }

  bool decimal(Unit& u, Param& p) {
    const size_t first = at_;
    if (s_[at_] == '+' || s_[at_] == '-') ++at_;
    size_t digits = 0;
    while (!end() && is_digit(s_[at_])) ++at_, ++digits;
    if (!end() && s_[at_] == '.') {
      ++at_;
      while (!end() && is_digit(s_[at_])) ++at_, ++digits;
    }
    if (digits == 0) return fail(u, -121, "");
    if (!end() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (!end() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      size_t exponent = 0;
      while (!end() && is_digit(s_[at_])) ++at_, ++exponent;
      if (exponent == 0) return fail(u, -121, "");
    }
    p.text = std::string(s_.substr(first, at_ - first));
    // A unit after the number, joined or after a space (250MHZ, 250 MHZ): no setting takes one.
    size_t next = at_;
    while (next < s_.size() && is_space(s_[next])) ++next;
    if (next < s_.size() && is_alpha(s_[next])) return fail(u, -138, "");
    p.type = ParamType::kNumber;
    p.number = std::strtod(p.text.c_str(), nullptr);
    if (!std::isfinite(p.number)) return fail(u, -123, "");
    return true;
  }

  // #H1F, #Q17, #B101 (numbers); #<d><length><bytes> and #0<bytes to the end> (blocks).
  bool hash_data(Unit& u, Param& p) {
    ++at_;
    if (end()) return fail(u, -102, "");
    const char kind = static_cast<char>(s_[at_] & ~0x20);
    if (kind == 'H' || kind == 'Q' || kind == 'B') {
      const int base = kind == 'H' ? 16 : kind == 'Q' ? 8 : 2;
      const size_t first = ++at_;
      while (!end() && is_name_char(s_[at_])) ++at_;
      const std::string_view digits = s_.substr(first, at_ - first);
      uint64_t value = 0;
      const auto [ptr, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
      if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size()) {
        return fail(u, ec == std::errc::result_out_of_range ? -123 : -121, "");
      }
      p.type = ParamType::kNumber;
      p.text.reserve(digits.size() + 2);
      p.text.push_back('#');
      p.text.push_back(kind);
      p.text.append(digits);
      p.number = static_cast<double>(value);
      return true;
    }
    p.type = ParamType::kBlock;
    if (s_[at_] == '0') {  // indefinite: everything to the end of the message
      p.text = std::string(s_.substr(at_ + 1));
      at_ = s_.size();
      return true;
    }
    if (!is_digit(s_[at_])) return fail(u, -161, "");
    const size_t width = static_cast<size_t>(s_[at_] - '0');
    ++at_;
    if (s_.size() - at_ < width) return fail(u, -161, "");
    size_t length = 0;
    for (size_t i = 0; i < width; ++i, ++at_) {
      if (!is_digit(s_[at_])) return fail(u, -161, "");
      length = length * 10 + static_cast<size_t>(s_[at_] - '0');
    }
    if (s_.size() - at_ < length) return fail(u, -161, "the block is shorter than its length");
    p.text = std::string(s_.substr(at_, length));
    at_ += length;
    return true;
  }

  std::string_view s_;
  size_t& at_;
};

struct Code {
  int code;
  const char* text;
};
constexpr Code kErrors[] = {
    {0, "No error"},
    {-100, "Command error"},
    {-101, "Invalid character"},
    {-102, "Syntax error"},
    {-103, "Invalid separator"},
    {-104, "Data type error"},
    {-108, "Parameter not allowed"},
    {-109, "Missing parameter"},
    {-112, "Program mnemonic too long"},
    {-113, "Undefined header"},
    {-114, "Header suffix out of range"},
    {-121, "Invalid character in number"},
    {-123, "Exponent too large"},
    {-138, "Suffix not allowed"},
    {-151, "Invalid string data"},
    {-161, "Invalid block data"},
    {-200, "Execution error"},
    {-203, "Command protected"},
    {-221, "Settings conflict"},
    {-222, "Data out of range"},
    {-223, "Too much data"},
    {-224, "Illegal parameter value"},
    {-230, "Data corrupt or stale"},
    {-231, "Data questionable"},
    {-240, "Hardware error"},
    {-241, "Hardware missing"},
    {-330, "Self-test failed"},
    {-350, "Queue overflow"},
    {-363, "Input buffer overrun"},
};

}  // namespace

const char* error_text(int code) {
  for (const Code& c : kErrors) {
    if (c.code == code) return c.text;
  }
  return "";
}

std::vector<Unit> parse_message(std::string_view line) {
  std::vector<Unit> units;
  std::vector<std::string> path;
  size_t at = 0;
  while (at <= line.size()) {
    Unit u;
    bool rooted = false;
    UnitReader reader(line, at);
    if (reader.read(u, rooted)) {
      if (!u.common && u.error.code == 0) {
        if (!rooted) u.nodes.insert(u.nodes.begin(), path.begin(), path.end());
        path.assign(u.nodes.begin(), u.nodes.end() - 1);
      }
      const bool stop = u.error.code != 0;
      units.push_back(std::move(u));
      if (stop) break;
    } else if (at < line.size()) {
      // Nothing before a ';' (";;", a leading ';') is no unit IEEE 488.2 allows; an empty
      // message, or one ';' ending it, is taken.
      u.error = {-102, "an empty command before ';'"};
      units.push_back(std::move(u));
      break;
    }
    if (at >= line.size()) break;
    ++at;  // the ';'
  }
  return units;
}

Pattern::Pattern(std::string_view text) {
  if (!text.empty() && text.back() == '?') {
    query_ = true;
    text.remove_suffix(1);
  }
  if (!text.empty() && text.front() == '*') {
    common_ = true;
    nodes_.push_back({upper(text.substr(1)), upper(text.substr(1))});
    return;
  }
  size_t at = 0;
  while (at < text.size()) {
    Node n;
    if (text[at] == ':') ++at;
    if (at < text.size() && text[at] == '[') {
      n.optional = true;
      ++at;
      if (at < text.size() && text[at] == ':') ++at;
    }
    while (at < text.size() && is_alpha(text[at])) {
      if (text[at] >= 'A' && text[at] <= 'Z') n.short_form += text[at];
      n.long_form += upper(text.substr(at, 1));
      ++at;
    }
    if (at < text.size() && text[at] == '#') {
      n.suffix = true;
      ++at;
    }
    if (n.optional) {
      if (at < text.size() && text[at] == ':') ++at;
      if (at < text.size() && text[at] == ']') ++at;
    }
    if (n.short_form.empty()) n.short_form = n.long_form;
    nodes_.push_back(std::move(n));
  }
}

bool Pattern::match(const Unit& unit, std::vector<int>& suffixes) const {
  suffixes.clear();
  if (unit.common != common_ || unit.query != query_) return false;
  if (common_) return unit.nodes.size() == 1 && unit.nodes[0] == nodes_[0].long_form;
  return match_from(unit.nodes, 0, 0, suffixes);
}

bool Pattern::match_from(const std::vector<std::string>& nodes, size_t at, size_t node,
                         std::vector<int>& suffixes) const {
  if (node == nodes_.size()) return at == nodes.size();
  const Node& n = nodes_[node];
  const size_t kept = suffixes.size();
  if (at < nodes.size()) {
    std::string_view name = nodes[at];
    int suffix = 1;
    if (n.suffix) {
      size_t letters = name.size();
      while (letters > 0 && is_digit(name[letters - 1])) --letters;
      if (letters < name.size()) {
        const std::string_view digits = name.substr(letters);
        if (digits.size() > 6) return false;
        suffix = std::atoi(std::string(digits).c_str());
      }
      name = name.substr(0, letters);
    }
    if (name == n.short_form || name == n.long_form) {
      if (n.suffix) suffixes.push_back(suffix);
      if (match_from(nodes, at + 1, node + 1, suffixes)) return true;
      suffixes.resize(kept);
    }
  }
  if (!n.optional) return false;
  if (n.suffix) suffixes.push_back(1);
  if (match_from(nodes, at, node + 1, suffixes)) return true;
  suffixes.resize(kept);
  return false;
}

std::string format_real(double x) {
  if (std::isnan(x)) return "9.91E37";
  if (std::isinf(x)) return x > 0 ? "9.9E37" : "-9.9E37";
  char buffer[40];
  // Whole numbers as integers (250000000, not 2.5E+08).
  const auto end = std::trunc(x) == x && std::fabs(x) < 1e15
                       ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(x)).ptr
                       : std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
  std::string out(buffer, end);
  for (char& c : out) c = c == 'e' ? 'E' : c;
  return out;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += c;
  }
  out += '"';
  return out;
}

std::string block_header(size_t bytes) {
  // Built by appending: GCC 12 at -O3 takes `"#" + std::string` for an overlapping copy.
  const std::string length = std::to_string(bytes);
  std::string out = "#";
  out += std::to_string(length.size());
  out += length;
  return out;
}

}  // namespace server::scpi
