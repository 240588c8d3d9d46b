#include "tools/sample_input.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "client/sigmf.h"
#include "tools/failure.h"
#include "vrx5200_analysis.h"

namespace tool {
namespace {

// The whole of a file, or of standard input for "-"; a file that cannot be read fails with the
// file exit code.
std::string read_all(const std::string& path) {
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) fail("cannot open \"" + path + "\": " + errno_text(), kExitFile);
  std::string bytes;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  const std::string reason = errno_text();
  if (in != stdin) std::fclose(in);
  if (failed) fail("cannot read \"" + path + "\": " + reason, kExitFile);
  return bytes;
}

// Whether `s` ends with the extension `tail` (lower case), in any case: capture.CSV is CSV, as
// the capture's output names it.
bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  }
  return true;
}

uint64_t little_endian(const std::string& bytes, size_t at, size_t size) {
  uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) {
    v |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return v;
}

// The text of a key's value in a .npy header dictionary ("'descr': '<i2', ..."), up to the
// comma or brace that ends it (a tuple whole); empty when the key is not there.
std::string npy_value(const std::string& dict, const char* key) {
  size_t at = dict.find(std::string("'") + key + "'");
  if (at == std::string::npos) at = dict.find(std::string("\"") + key + "\"");
  if (at == std::string::npos) return "";
  at = dict.find(':', at);
  if (at == std::string::npos) return "";
  ++at;
  while (at < dict.size() && dict[at] == ' ') ++at;
  size_t end = at;
  if (at < dict.size() && dict[at] == '(') {
    end = dict.find(')', at);
    return end == std::string::npos ? "" : dict.substr(at, end + 1 - at);
  }
  while (end < dict.size() && dict[end] != ',' && dict[end] != '}') ++end;
  std::string v = dict.substr(at, end - at);
  while (!v.empty() && v.back() == ' ') v.pop_back();
  if (v.size() >= 2 && (v[0] == '\'' || v[0] == '"')) v = v.substr(1, v.size() - 2);
  return v;
}

// "(3,)", "(2, 3)", "()" as their dimensions; false for anything else.
bool npy_shape(const std::string& text, std::vector<uint64_t>& dims) {
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
  std::string inner = text.substr(1, text.size() - 2);
  size_t i = 0;
  while (i < inner.size()) {
    while (i < inner.size() && inner[i] == ' ') ++i;
    if (i == inner.size()) break;
    char* end = nullptr;
    if (inner[i] < '0' || inner[i] > '9') return false;
    const unsigned long long d = std::strtoull(inner.c_str() + i, &end, 10);
    dims.push_back(d);
    i = static_cast<size_t>(end - inner.c_str());
    while (i < inner.size() && inner[i] == ' ') ++i;
    if (i < inner.size() && inner[i] != ',') return false;
    ++i;
  }
  return true;
}

// What a .npy header says: the type of the values, their order, the array's shape, and where the
// data begins. A file whose header cannot be read, or whose values hold no samples, fails with
// the file exit code.
struct NpyLayout {
  std::string descr;
  size_t item = 0;  // bytes per value
  bool fortran = false;
  std::vector<uint64_t> dims;
  size_t data = 0;  // the data's first byte
};

NpyLayout npy_layout(const std::string& name, const std::string& bytes) {
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) {
    fail(name + " is not a .npy file", kExitFile);
  }
  const int major = static_cast<unsigned char>(bytes[6]);
  if (major < 1 || major > 3) {
    fail(name + ": .npy format version " + std::to_string(major) + " is not read here", kExitFile);
  }
  const size_t length_size = major == 1 ? 2 : 4;
  if (bytes.size() < 8 + length_size) fail(name + " ends inside its .npy header", kExitFile);
  const size_t header = little_endian(bytes, 8, length_size);
  NpyLayout l;
  l.data = 8 + length_size + header;
  if (l.data > bytes.size()) fail(name + " ends inside its .npy header", kExitFile);
  const std::string dict = bytes.substr(8 + length_size, header);
  l.descr = npy_value(dict, "descr");
  const std::string order = npy_value(dict, "fortran_order");
  if (order.empty() || !npy_shape(npy_value(dict, "shape"), l.dims)) {
    fail(name + ": its .npy header gives no type, order or shape", kExitFile);
  }
  l.fortran = order == "True";
  // Words as the board gives them; wider integers and floats as values in codes.
  struct Type {
    const char* descr;
    size_t size;
  };
  const Type types[] = {{"<i2", 2}, {"<u2", 2}, {"<i4", 4}, {"<u4", 4}, {"<f4", 4}, {"<f8", 8}};
  for (const Type& t : types) {
    if (l.descr == t.descr) l.item = t.size;
  }
  if (l.item == 0) {
    fail(name + " holds '" + l.descr +
             "' values; analyze reads '<i2' and '<u2' words, and '<i4', '<u4', '<f4' and '<f8' "
             "values in codes",
         kExitFile);
  }
  return l;
}

Samples read_npy(const std::string& path, const std::string& bytes, long column) {
  const std::string name = "\"" + path + "\"";
  const NpyLayout layout = npy_layout(name, bytes);
  const std::vector<uint64_t>& dims = layout.dims;
  const std::string& descr = layout.descr;
  const size_t item = layout.item, data = layout.data;
  if (dims.empty() || dims.size() > 2) {
    fail(name + " holds a " + std::to_string(dims.size()) +
             "-D array; a capture is one row of samples, or a column of a 2-D array (--column)",
         kExitFile);
  }
  const uint64_t rows = dims[0], columns = dims.size() == 2 ? dims[1] : 1;
  if (dims.size() == 2 && column < 0) {
    fail(name + " holds a " + std::to_string(rows) + " x " + std::to_string(columns) +
             " array: name the column to analyse (--column 0 to " +
             std::to_string(columns == 0 ? 0 : columns - 1) + ")",
         kExitUsage);
  }
  if (dims.size() == 1 && column >= 0) {
    fail("--column " + std::to_string(column) + ": " + name + " holds one row, not columns",
         kExitUsage);
  }
  if (dims.size() == 2 && static_cast<uint64_t>(column) >= columns) {
    fail("--column " + std::to_string(column) + ": " + name + " has " + std::to_string(columns) +
             " columns",
         kExitUsage);
  }
  const size_t held = bytes.size() - data;
  const bool overflow = columns != 0 && rows > (~uint64_t{0} / item) / columns;
  if (overflow || rows * columns * item != held) {
    fail(name + " holds " + std::to_string(held) + " bytes of data where its header claims " +
             std::to_string(rows) + (dims.size() == 2 ? " x " + std::to_string(columns) : "") +
             " samples of " + std::to_string(item) + " bytes",
         kExitFile);
  }
  const bool fortran = layout.fortran;
  const auto at = [&](uint64_t r) {
    const uint64_t index = dims.size() == 1 ? r
                           : fortran        ? static_cast<uint64_t>(column) * rows + r
                                            : r * columns + static_cast<uint64_t>(column);
    return data + index * item;
  };
  Samples s;
  if (item == 2) {
    s.type = VRX5200_SAMPLES_UINT16;
    s.unsigned_words = descr == "<u2";
    s.words.resize(rows);
    for (uint64_t r = 0; r < rows; ++r) {
      s.words[r] = static_cast<uint16_t>(little_endian(bytes, at(r), 2));
    }
    return s;
  }
  s.type = VRX5200_SAMPLES_DOUBLE;
  s.values.resize(rows);
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t bits = little_endian(bytes, at(r), item);
    if (descr == "<f8") {
      std::memcpy(&s.values[r], &bits, 8);
    } else if (descr == "<f4") {
      const auto b32 = static_cast<uint32_t>(bits);
      float f = 0;
      std::memcpy(&f, &b32, 4);
      s.values[r] = f;
    } else if (descr == "<i4") {
      s.values[r] = static_cast<int32_t>(static_cast<uint32_t>(bits));
    } else {
      s.values[r] = static_cast<double>(static_cast<uint32_t>(bits));
    }
  }
  return s;
}

Samples read_csv(const std::string& path, const std::string& bytes) {
  Samples s;
  s.type = VRX5200_SAMPLES_UINT16;
  std::istringstream in(bytes);
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line == "\r") continue;
    char* end = nullptr;
    const long v = std::strtol(line.c_str(), &end, 10);
    while (*end == ' ' || *end == '\r' || *end == '\t') ++end;
    if (end == line.c_str() || *end != '\0' || v < -32768 || v > 65535) {
      fail("\"" + path + "\" line " + std::to_string(number) + " is not a 16-bit sample",
           kExitFile);
    }
    s.words.push_back(static_cast<uint16_t>(v));
  }
  return s;
}

// The samples of a SigMF recording of a real datatype: 16-bit words as the board gives them,
// 8-bit codes (of 8 bits unless told) and 32-bit integers as values in codes, floating-point
// values as fractions of full scale.
Samples read_recording(const std::string& path, const std::string* bytes) {
  client::SigmfRecording r;
  std::string error;
  const bool by_name = path != "-" && client::sigmf_part(path) == client::SigmfPart::kNone;
  if (!client::read_sigmf(path, by_name, r, error, bytes)) fail(error, kExitFile);
  const std::string name = "\"" + path + "\"";
  if (!r.datatype.empty() && r.datatype[0] == 'c') {
    fail(name + " holds complex samples (" + r.datatype + "); analyze takes real ones", kExitFile);
  }
  struct Type {
    const char* name;
    size_t size;
  };
  const Type types[] = {{"ri16_le", 2}, {"ru16_le", 2}, {"ri8", 1},    {"ru8", 1},
                        {"ri32_le", 4}, {"rf32_le", 4}, {"rf64_le", 8}};
  size_t item = 0;
  for (const Type& t : types) {
    if (r.datatype == t.name) item = t.size;
  }
  if (item == 0) {
    fail(name + " holds " + r.datatype +
             " samples; analyze reads ri16_le, ru16_le, ri8, ru8, ri32_le, rf32_le and rf64_le",
         kExitFile);
  }
  if (r.data.size() % item != 0) fail(name + " ends part-way through a sample", kExitFile);
  Samples s;
  s.rate_hz = r.rate_hz;
  s.evenly_spaced = r.evenly_spaced;
  const size_t n = r.data.size() / item;
  s.unsigned_words = r.datatype[1] == 'u';
  if (item == 2) {
    s.type = VRX5200_SAMPLES_UINT16;
    s.words.resize(n);
    for (size_t i = 0; i < n; ++i)
      s.words[i] = static_cast<uint16_t>(little_endian(r.data, 2 * i, 2));
    return s;
  }
  s.type = VRX5200_SAMPLES_DOUBLE;
  s.values.resize(n);
  s.bits = item == 1 ? 8 : 0;
  s.fractions = r.datatype[1] == 'f';
  for (size_t i = 0; i < n; ++i) {
    const uint64_t bits = little_endian(r.data, item * i, item);
    if (r.datatype == "ri8") {
      s.values[i] = static_cast<int8_t>(static_cast<uint8_t>(bits));
    } else if (r.datatype == "ru8") {
      s.values[i] = static_cast<double>(bits);
    } else if (r.datatype == "ri32_le") {
      s.values[i] = static_cast<int32_t>(static_cast<uint32_t>(bits));
    } else if (item == 4) {
      const auto b32 = static_cast<uint32_t>(bits);
      float f = 0;
      std::memcpy(&f, &b32, 4);
      s.values[i] = f;
    } else {
      std::memcpy(&s.values[i], &bits, 8);
    }
  }
  return s;
}

}  // namespace

void Samples::scale_fractions(int32_t bits_of_codes) {
  if (!fractions) return;
  const double full = std::ldexp(1.0, bits_of_codes - 1);
  for (double& v : values) v *= full;
  fractions = false;
}

size_t Samples::size() const {
  return type == VRX5200_SAMPLES_DOUBLE ? values.size() : words.size();
}

const void* Samples::data() const {
  return type == VRX5200_SAMPLES_DOUBLE ? static_cast<const void*>(values.data())
                                        : static_cast<const void*>(words.data());
}

Samples Samples::slice(size_t first, size_t count) const {
  Samples s;
  s.type = type;
  s.unsigned_words = unsigned_words;
  s.evenly_spaced = evenly_spaced;
  const auto from = static_cast<std::ptrdiff_t>(first);
  const auto to = static_cast<std::ptrdiff_t>(first + count);
  if (type == VRX5200_SAMPLES_DOUBLE) {
    s.values.assign(values.begin() + from, values.begin() + to);
  } else {
    s.words.assign(words.begin() + from, words.begin() + to);
  }
  return s;
}

Samples read_samples(const std::string& path, const std::string& format, long column) {
  const bool recording =
      format == "sigmf" || (format.empty() && client::sigmf_part(path) != client::SigmfPart::kNone);
  if (recording && column >= 0) {
    fail("--column names a column of a 2-D .npy array; \"" + path + "\" is a SigMF recording",
         kExitUsage);
  }
  // A recording's files are read by name; an archive from standard input is read here.
  if (recording) {
    if (path != "-") return read_recording(path, nullptr);
    const std::string bytes = read_all(path);
    return read_recording(path, &bytes);
  }
  const std::string bytes = read_all(path);
  // A .npy file says what it is (its magic string) whatever its name; other files go by their
  // name, and -O overrides both.
  const bool npy_magic = bytes.compare(0, 6, "\x93NUMPY") == 0;
  const std::string f = !format.empty()           ? format
                        : npy_magic               ? "npy"
                        : ends_with(path, ".npy") ? "npy"
                        : ends_with(path, ".csv") ? "csv"
                                                  : "raw";
  if (f != "npy" && column >= 0) {
    fail("--column names a column of a 2-D .npy array; \"" + path + "\" is " + f, kExitUsage);
  }
  if (f == "npy") return read_npy(path, bytes, column);
  if (f == "csv") return read_csv(path, bytes);
  if (f != "raw") fail("bad format \"" + f + "\" (raw, csv, npy or sigmf)", kExitUsage);
  if (bytes.size() % 2 != 0) fail("\"" + path + "\" ends part-way through a sample", kExitFile);
  Samples s;
  s.type = VRX5200_SAMPLES_UINT16;
  s.words.resize(bytes.size() / 2);
  for (size_t i = 0; i < s.words.size(); ++i) {
    s.words[i] = static_cast<uint16_t>(little_endian(bytes, 2 * i, 2));
  }
  return s;
}

}  // namespace tool
