#include "client/sigmf.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "client/atomic_file.h"
#include "client/tone_report.h"

namespace client {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kNamespace = "vrx5200";

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ends_with_nocase(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lower(s[s.size() - n + i]) != tail[i]) return false;
  }
  return true;
}

// The other file of a recording: .sigmf-data beside .sigmf-meta and the other way round, the
// suffix's letters in the case they had.
std::string sibling(const std::string& path) {
  std::string s = path;
  const size_t at = s.size() - 4;  // "data" or "meta"
  const bool to_meta = lower(s[at]) == 'd';
  const char* want = to_meta ? "meta" : "data";
  for (size_t i = 0; i < 4; ++i) {
    const bool upper = s[at + i] >= 'A' && s[at + i] <= 'Z';
    s[at + i] = upper ? static_cast<char>(want[i] - 'a' + 'A') : want[i];
  }
  return s;
}

bool read_file(const std::string& path, std::string& bytes, std::string& error) {
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    error = "cannot open \"" + path + "\": " + errno_sentence(errno);
    return false;
  }
  bytes.clear();
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  const int saved = errno;
  if (in != stdin) std::fclose(in);
  if (failed) error = "cannot read \"" + path + "\": " + errno_sentence(saved);
  return !failed;
}

std::string hex_byte(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02X", static_cast<unsigned>(v) & 0xFFu);
  return b;
}

std::string iso8601(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char b[64];
  const size_t n = std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(b + n, sizeof b - n, ".%03dZ", static_cast<int>(ms % 1000));
  return b;
}

// ---- the archive ------------------------------------------------------------------------------

constexpr size_t kBlock = 512;
constexpr size_t kRecord = 20 * kBlock;

void octal(char* field, size_t width, uint64_t value) {
  // width - 1 digits and a NUL.
  for (size_t i = width - 1; i-- > 0;) {
    field[i] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  field[width - 1] = '\0';
}

// A ustar header of `name` (a directory when it ends in '/'; at most 100 bytes, as the archives'
// names here are: capture-ID/capture-ID.sigmf-meta).
std::string ustar_header(const std::string& name, uint64_t size, std::time_t mtime) {
  std::string h(kBlock, '\0');
  const bool directory = name.back() == '/';
  std::memcpy(&h[0], name.data(), std::min<size_t>(name.size(), 100));
  octal(&h[100], 8, directory ? 0755 : 0644);
  octal(&h[108], 8, 0);
  octal(&h[116], 8, 0);
  octal(&h[124], 12, size);
  octal(&h[136], 12, static_cast<uint64_t>(mtime));
  h[156] = directory ? '5' : '0';
  static const char kMagic[8] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};  // POSIX ustar
  std::memcpy(&h[257], kMagic, sizeof kMagic);
  // The checksum: the header's bytes summed with its own field as spaces.
  std::memset(&h[148], ' ', 8);
  unsigned sum = 0;
  for (char c : h) sum += static_cast<unsigned char>(c);
  octal(&h[148], 7, sum);
  return h;
}

void pad_to(std::string& out, size_t unit) {
  out.append((unit - out.size() % unit) % unit, '\0');
}

struct Entry {
  std::string name;
  size_t offset = 0, size = 0;
};

uint64_t tar_number(const char* field, size_t width) {
  if ((static_cast<unsigned char>(field[0]) & 0x80) != 0) {  // base-256 (large sizes)
    uint64_t v = static_cast<unsigned char>(field[0]) & 0x7F;
    for (size_t i = 1; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(field[i]);
    return v;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < width && field[i] >= '0' && field[i] <= '7'; ++i)
    v = v * 8 + (field[i] - '0');
  return v;
}

std::string field_text(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

// The regular files of a tar archive (ustar, with pax and GNU long names); false at a header
// that is not one or data that runs past the end.
bool tar_entries(const std::string& bytes, std::vector<Entry>& out) {
  std::string long_name;
  bool long_size = false;
  uint64_t pax_size = 0;
  for (size_t at = 0; at + kBlock <= bytes.size();) {
    const char* h = bytes.data() + at;
    if (std::all_of(h, h + kBlock, [](char c) { return c == '\0'; })) return true;
    unsigned sum = 0;
    for (size_t i = 0; i < kBlock; ++i) {
      sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(h[i]);
    }
    if (tar_number(h + 148, 8) != sum) return false;
    const uint64_t size = tar_number(h + 124, 12);
    const size_t data = at + kBlock;
    if (size > bytes.size() - data) return false;
    const std::string body = bytes.substr(data, size);
    const char type = h[156];
    if (type == 'x') {  // pax: "LEN key=value\n" records
      for (size_t p = 0; p < body.size();) {
        const size_t space = body.find(' ', p);
        if (space == std::string::npos) break;
        const size_t length = std::strtoul(body.c_str() + p, nullptr, 10);
        if (length == 0 || p + length > body.size()) break;
        const std::string record = body.substr(space + 1, p + length - space - 2);
        if (record.rfind("path=", 0) == 0) long_name = record.substr(5);
        if (record.rfind("size=", 0) == 0) {
          long_size = true;
          pax_size = std::strtoull(record.c_str() + 5, nullptr, 10);
        }
        p += length;
      }
    } else if (type == 'L') {  // GNU long name
      long_name = field_text(body.data(), body.size());
    } else if (type == '0' || type == '\0' || type == '7') {
      Entry e;
      e.name = long_name;
      if (e.name.empty()) {
        const std::string prefix = field_text(h + 345, 155);
        const std::string name = field_text(h, 100);
        e.name =
            std::memcmp(h + 257, "ustar", 5) == 0 && !prefix.empty() ? prefix + "/" + name : name;
      }
      e.offset = data;
      e.size = long_size ? pax_size : size;
      if (e.size > bytes.size() - data) return false;
      out.push_back(e);
      long_name.clear();
      long_size = false;
    } else if (type != 'g') {
      long_name.clear();
      long_size = false;
    }
    const uint64_t taken = type == '0' || type == '\0' || type == '7' ? out.back().size : size;
    at = data + static_cast<size_t>((taken + kBlock - 1) / kBlock * kBlock);
  }
  return true;
}

// The dataset's name and bytes from the metadata's text; false with `error`.
bool parse_meta(const std::string& name, const std::string& text, SigmfRecording& out,
                std::string& error) {
  const std::string where = "\"" + name + "\"";
  nlohmann::json meta;
  try {
    meta = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception&) {
    error = where + " is not JSON";
    return false;
  }
  if (!meta.is_object() || !meta.contains("global") || !meta["global"].is_object()) {
    error = where + " is not SigMF metadata (no \"global\" object)";
    return false;
  }
  const nlohmann::json& global = meta["global"];
  if (!global.contains("core:datatype") || !global["core:datatype"].is_string()) {
    error = where + " gives no core:datatype";
    return false;
  }
  out.datatype = global["core:datatype"].get<std::string>();
  for (char& c : out.datatype) c = lower(c);
  out.rate_hz = 0;
  if (global.contains("core:sample_rate")) {
    const nlohmann::json& r = global["core:sample_rate"];
    const double rate = r.is_number() ? r.get<double>() : NAN;
    if (!(rate >= 1 && rate <= 100e9)) {
      error = where + ": core:sample_rate " + r.dump() + " is not a rate (1 Hz to 100 GHz)";
      return false;
    }
    out.rate_hz = rate;
  }
  const auto spaced = global.find(std::string(kNamespace) + ":evenly_spaced");
  out.evenly_spaced = spaced == global.end() || !spaced->is_boolean() || spaced->get<bool>();
  if (global.contains("core:num_channels") && global["core:num_channels"] != 1) {
    error = where + " holds " + global["core:num_channels"].dump() +
            " channels; analyze takes a recording of one";
    return false;
  }
  if (global.contains("core:dataset")) {
    error = where + " describes another dataset file (core:dataset); analyze reads " +
            "NAME.sigmf-data";
    return false;
  }
  if (global.value("core:trailing_bytes", 0) != 0) {
    error = where + " has trailing bytes after its samples; analyze reads conforming datasets";
    return false;
  }
  if (meta.contains("captures") && meta["captures"].is_array()) {
    for (const nlohmann::json& c : meta["captures"]) {
      if (c.is_object() && c.value("core:header_bytes", 0) != 0) {
        error = where + " has header bytes in its dataset; analyze reads conforming datasets";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

SigmfPart sigmf_part(const std::string& path) {
  if (ends_with_nocase(path, ".sigmf-meta")) return SigmfPart::kMeta;
  if (ends_with_nocase(path, ".sigmf-data")) return SigmfPart::kData;
  if (ends_with_nocase(path, ".sigmf")) return SigmfPart::kArchive;
  return SigmfPart::kNone;
}

std::string sigmf_base(const std::string& path) {
  const SigmfPart part = sigmf_part(path);
  if (part == SigmfPart::kMeta || part == SigmfPart::kData) {
    return path.substr(0, path.size() - std::strlen(".sigmf-meta"));
  }
  return path;
}

std::string sigmf_meta(const SigmfSource& s, const uint16_t* samples, size_t count,
                       VRX5200Analyzer* analyzer) {
  const std::string ns = kNamespace;
  Json global = Json::object();
  global["core:datatype"] = s.offset_binary ? "ru16_le" : "ri16_le";
  if (s.rate_hz > 0) global["core:sample_rate"] = s.rate_hz;
  global["core:version"] = kSigmfVersion;
  global["core:num_channels"] = 1;
  global["core:description"] = !s.description.empty()
                                   ? s.description
                                   : std::string("VRX5200 ADC capture: 16-bit codes, ") +
                                         (s.offset_binary ? "offset binary" : "two's complement");
  std::string hw = "VRX5200 evaluation board";
  if (!s.board.empty()) hw += " " + s.board;
  if (s.family_id >= 0 && s.firmware_version >= 0) {
    hw += " (family " + hex_byte(s.family_id) + ", firmware " + hex_byte(s.firmware_version) + ")";
  }
  global["core:hw"] = hw;
  global["core:recorder"] = s.recorder;
  global["core:extensions"] =
      Json::array({{{"name", ns}, {"version", "1.0.0"}, {"optional", true}}});
  if (!s.board.empty()) global[ns + ":board"] = s.board;
  if (s.family_id >= 0) global[ns + ":family_id"] = s.family_id;
  if (s.firmware_version >= 0) global[ns + ":firmware_version"] = s.firmware_version;
  global[ns + ":offset_binary"] = s.offset_binary;
  if (!s.evenly_spaced) global[ns + ":evenly_spaced"] = false;

  Json capture = {{"core:sample_start", 0}};
  if (s.taken_ms > 0) capture["core:datetime"] = iso8601(s.taken_ms);

  // The figures of `vrx5200 analyze --json` with its defaults, each under the namespace.
  Json annotation = {{"core:sample_start", 0}, {"core:sample_count", count}};
  annotation["core:generator"] = s.recorder;
  ToneReport report;
  report.config.bits = 16;
  report.config.code_format = s.offset_binary ? VRX5200_OFFSET_BINARY : VRX5200_TWOS_COMPLEMENT;
  report.config.window = VRX5200_WINDOW_BLACKMAN_HARRIS_4;
  report.config.harmonics = 5;
  report.config.rate_hz = s.rate_hz;
  report.evenly_spaced = s.evenly_spaced;
  const int32_t code = analyse_tone(analyzer, samples, VRX5200_SAMPLES_UINT16, count, report);
  if (code == VRX5200_ANALYSIS_OK) {
    annotation["core:label"] = "single-tone figures";
    const Json figures = Json::parse(tone_json(report).text());
    for (const auto& [key, value] : figures.items()) annotation[ns + ":" + key] = value;
  } else {
    annotation["core:comment"] =
        std::string("no single-tone figures: ") + VRX5200Analysis_Result_Text(code);
  }
  Json meta = {{"global", global},
               {"captures", Json::array({capture})},
               {"annotations", Json::array({annotation})}};
  return meta.dump(2) + "\n";
}

std::string sigmf_archive(const std::string& name, const std::string& meta, const char* data,
                          size_t size, std::time_t mtime) {
  std::string out;
  out.reserve(meta.size() + size + 6 * kBlock + kRecord);
  out += ustar_header(name + "/", 0, mtime);
  out += ustar_header(name + "/" + name + ".sigmf-meta", meta.size(), mtime);
  out += meta;
  pad_to(out, kBlock);
  out += ustar_header(name + "/" + name + ".sigmf-data", size, mtime);
  out.append(data, size);
  pad_to(out, kBlock);
  out.append(2 * kBlock, '\0');  // the end of the archive
  pad_to(out, kRecord);
  return out;
}

bool read_sigmf(const std::string& path, bool by_name, SigmfRecording& out, std::string& error,
                const std::string* given) {
  const SigmfPart part = by_name ? SigmfPart::kNone : sigmf_part(path);
  // A name that is a file itself is an archive of another name.
  struct stat st {};
  if (by_name && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) by_name = false;
  if (part == SigmfPart::kMeta || part == SigmfPart::kData || by_name) {
    const std::string meta = part == SigmfPart::kMeta   ? path
                             : part == SigmfPart::kData ? sibling(path)
                                                        : path + ".sigmf-meta";
    const std::string data = part == SigmfPart::kMeta   ? sibling(path)
                             : part == SigmfPart::kData ? path
                                                        : path + ".sigmf-data";
    std::string text;
    return read_file(meta, text, error) && parse_meta(meta, text, out, error) &&
           read_file(data, out.data, error);
  }
  // An archive: its one recording.
  std::string own;
  if (given == nullptr && !read_file(path, own, error)) return false;
  const std::string& bytes = given != nullptr ? *given : own;
  std::vector<Entry> entries;
  if (bytes.size() < kBlock || !tar_entries(bytes, entries)) {
    error = "\"" + path + "\" is not a tar archive";
    return false;
  }
  const Entry* meta = nullptr;
  size_t recordings = 0;
  for (const Entry& e : entries) {
    if (sigmf_part(e.name) != SigmfPart::kMeta) continue;
    ++recordings;
    meta = &e;
  }
  if (recordings != 1) {
    error = "\"" + path + "\" holds " + std::to_string(recordings) +
            " SigMF recordings; analyze takes an archive of one";
    return false;
  }
  const std::string data_name = sibling(meta->name);
  const Entry* data = nullptr;
  for (const Entry& e : entries) {
    if (e.name == data_name) data = &e;
  }
  const std::string where = path + ": " + meta->name;
  if (!parse_meta(where, bytes.substr(meta->offset, meta->size), out, error)) return false;
  if (data == nullptr) {
    error = "\"" + path + "\" holds no " + data_name + " beside " + meta->name;
    return false;
  }
  out.data = bytes.substr(data->offset, data->size);
  return true;
}

}  // namespace client
