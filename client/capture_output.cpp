#include "client/capture_output.h"

#include <bit>
#include <cerrno>
#include <charconv>

#include "client/sigmf.h"
#include "client/units.h"

namespace client {

static_assert(std::endian::native == std::endian::little,
              "raw and .npy output are the samples' bytes as they are in memory");

std::optional<Format> format_named(const std::string& name) {
  if (name == "raw") return Format::kRaw;
  if (name == "csv") return Format::kCsv;
  if (name == "npy") return Format::kNpy;
  if (name == "sigmf") return Format::kSigmf;
  return std::nullopt;
}

const char* format_name(Format f) {
  switch (f) {
    case Format::kCsv:
      return "csv";
    case Format::kNpy:
      return "npy";
    case Format::kSigmf:
      return "sigmf";
    default:
      return "raw";
  }
}

Format format_of_path(const std::string& path) {
  auto ends_with = [&path](const char* ext) {
    const std::string e(ext);
    if (path.size() <= e.size()) return false;
    std::string tail = path.substr(path.size() - e.size());
    for (char& ch : tail) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    return tail == e;
  };
  if (ends_with(".csv")) return Format::kCsv;
  if (ends_with(".npy")) return Format::kNpy;
  if (ends_with(".sigmf-meta") || ends_with(".sigmf-data")) return Format::kSigmf;
  return Format::kRaw;
}

std::string lane_list_problem(const std::vector<int32_t>& lanes) {
  const int32_t most = 15;
  bool seen[16] = {};
  int32_t kept = 0;
  for (int32_t v : lanes) {
    if (v < 0 || v > most) return "lane numbers are 0 (drop the lane) to 15";
    if (v == 0) continue;
    if (seen[v]) return "lane " + std::to_string(v) + " is named twice";
    seen[v] = true;
    ++kept;
  }
  if (kept == 0) return "the list keeps no lane";
  for (int32_t v = 1; v <= kept; ++v) {
    if (!seen[v]) {
      return "the kept lanes must be numbered 1 to " + std::to_string(kept) + " (" +
             std::to_string(v) + " is missing)";
    }
  }
  return "";
}

namespace {

std::vector<std::string> items_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (!text.empty()) {
    const size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::string out_of_range(const char* what, const std::string& text, long long min, long long max) {
  return std::string("bad ") + what + ": \"" + text + "\" (" + std::to_string(min) + " to " +
         std::to_string(max) + ", decimal or 0x hex)";
}

}  // namespace

std::string parse_lane_list(const std::string& text, std::vector<int32_t>& lanes) {
  lanes.clear();
  for (const std::string& item : items_of(text)) {
    const std::optional<long long> v = parse_whole(item);
    if (!v || *v < INT32_MIN || *v > INT32_MAX) {
      return "bad lane list \"" + text + "\": \"" + item + "\" is not a whole number";
    }
    lanes.push_back(static_cast<int32_t>(*v));
  }
  const std::string problem = lane_list_problem(lanes);
  return problem.empty() ? problem : "bad lane list \"" + text + "\": " + problem;
}

std::string parse_bit_ops(const std::string& text, std::vector<int32_t>& codes,
                          std::vector<int32_t>& operands) {
  static const char* const kNames[] = {"shift", "xor", "and", "or", "not"};
  codes.clear();
  operands.clear();
  for (const std::string& item : items_of(text)) {
    const size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    int32_t code = -1;
    for (int32_t k = 0; k < 5; ++k) {
      if (name == kNames[k] || name == std::to_string(k)) code = k;
    }
    if (code < 0) {
      return "bad bit operation \"" + item +
             "\": the codes are 0 shift, 1 xor, 2 and, 3 or, 4 not (code:operand)";
    }
    if (colon == std::string::npos && code != 4) {
      return "bad bit operation \"" + item + "\": give its operand (code:operand)";
    }
    const std::string operand = colon == std::string::npos ? "0" : item.substr(colon + 1);
    const std::optional<long long> v = parse_whole(operand);
    if (code == 0 && (!v || *v < -15 || *v > 15)) {
      return out_of_range("shift count", operand, -15, 15);
    }
    if (code != 0 && code != 4 && (!v || *v < 0 || *v > 0xFFFF)) {
      return out_of_range("operand", operand, 0, 0xFFFF);
    }
    if (code == 4 && !v) return "bad operand: \"" + operand + "\" (a whole number, ignored)";
    codes.push_back(code);
    operands.push_back(code == 4 ? 0 : static_cast<int32_t>(*v));
  }
  return "";
}

LaneCounter::LaneCounter(const std::vector<int32_t>& lanes) : lanes_(lanes) {
  for (int32_t v : lanes_) kept_per_frame_ += v != 0;
}

size_t LaneCounter::output_for(size_t read) {
  const size_t period = lanes_.size();
  size_t kept_in_period = 0;
  for (int32_t v : lanes_) kept_in_period += v != 0;
  size_t kept = read / period * kept_in_period;
  for (size_t i = 0; i < read % period; ++i) kept += lanes_[i] != 0;
  const size_t total = carry_ + kept;
  const size_t out = total / kept_per_frame_ * kept_per_frame_;
  carry_ = total - out;
  return out;
}

size_t LaneCounter::capture_output(const std::vector<int32_t>& lanes, int64_t samples,
                                   int64_t block) {
  LaneCounter counter(lanes);
  size_t out = 0;
  for (int64_t done = 0; done < samples; done += block) {
    out += counter.output_for(static_cast<size_t>(samples - done < block ? samples - done : block));
  }
  return out;
}

int32_t LaneCounter::decimation(const std::vector<int32_t>& lanes, int64_t block) {
  int32_t kept = 0;
  bool in_order = true;
  for (size_t i = 0; i < lanes.size(); ++i) {
    if (lanes[i] != 0) ++kept;
    in_order = in_order && lanes[i] == static_cast<int32_t>(i) + 1;
  }
  if (in_order) return 1;  // every sample, in its place
  // One kept lane of a period that divides the block: every period-th sample.
  const auto period = static_cast<int64_t>(lanes.size());
  if (kept == 1 && block % period == 0) return static_cast<int32_t>(period);
  return 0;
}

std::string npy_header(bool offset_binary, size_t count, size_t length_wanted) {
  std::string dict = std::string("{'descr': '") + (offset_binary ? "<u2" : "<i2") +
                     "', 'fortran_order': False, 'shape': (" + std::to_string(count) + ",), }";
  // Magic, version 1.0, the header's length; the header padded with spaces and ended by '\n' so
  // that the data starts at a multiple of 64 bytes.
  const size_t fixed = 10;
  size_t length = dict.size() + 1;
  length += (64 - (fixed + length) % 64) % 64;
  if (fixed + length < length_wanted) length = length_wanted - fixed;
  dict.append(length - dict.size() - 1, ' ');
  dict += '\n';
  std::string header("\x93NUMPY\x01\x00", 8);
  header += static_cast<char>(length & 0xFF);
  header += static_cast<char>(length >> 8);
  return header + dict;
}

bool SampleWriter::write_header(size_t count) {
  if (format_ != Format::kNpy) return true;
  const std::string header = npy_header(offset_binary_, count);
  return std::fwrite(header.data(), 1, header.size(), out_) == header.size();
}

bool SampleWriter::write(const uint16_t* samples, size_t n) {
  if (format_ != Format::kCsv) {
    // Samples are 16-bit little-endian words in memory as in the file.
    return std::fwrite(samples, sizeof(uint16_t), n, out_) == n;
  }
  text_.resize(n * 8);
  char* p = text_.data();
  for (size_t i = 0; i < n; ++i) {
    const int v = offset_binary_ ? static_cast<int>(samples[i])
                                 : static_cast<int>(static_cast<int16_t>(samples[i]));
    p = std::to_chars(p, p + 7, v).ptr;
    *p++ = '\n';
  }
  const size_t bytes = static_cast<size_t>(p - text_.data());
  return std::fwrite(text_.data(), 1, bytes, out_) == bytes;
}

bool CaptureFile::open(const std::string& target, size_t expected, std::string& error) {
  if (format_ == Format::kSigmf) {
    // Both files are made before the capture starts: one that cannot be is found then.
    const std::string name = sigmf_base(target);
    if (!file_.open(name + ".sigmf-data", error)) return false;
    if (!meta_.open(name + ".sigmf-meta", error)) {
      file_.discard();
      return false;
    }
    target_ = name + ".sigmf-data";
  } else {
    if (!file_.open(target, error)) return false;
    target_ = target;
  }
  writer_.emplace(file_.stream(), format_, offset_binary_);
  if (format_ == Format::kNpy) header_length_ = npy_header(offset_binary_, expected).size();
  if (!writer_->write_header(expected)) {
    error = errno_sentence(errno);
    failed_ = true;
    return false;
  }
  return true;
}

bool CaptureFile::write(const uint16_t* samples, size_t n) {
  if (failed_ || !writer_) return false;
  failed_ = !writer_->write(samples, n);
  if (!failed_) written_ += n;
  if (!failed_ && format_ == Format::kSigmf) kept_.insert(kept_.end(), samples, samples + n);
  return !failed_;
}

bool CaptureFile::commit(std::string& error) {
  if (format_ == Format::kSigmf) return commit_recording(false, error);
  return file_.commit(error);
}

bool CaptureFile::commit_recording(bool partial, std::string& error) {
  const std::string meta = meta_maker_ ? meta_maker_(kept_.data(), kept_.size(), partial) : "";
  if (meta_.stream() == nullptr ||
      std::fwrite(meta.data(), 1, meta.size(), meta_.stream()) != meta.size()) {
    error = errno_sentence(errno);
    discard();
    return false;
  }
  return commit_both(file_, meta_, error);
}

bool CaptureFile::keep_partial(std::string& name, std::string& error) {
  if (failed_ || file_.in_place() || file_.stream() == nullptr) {
    error = failed_ ? "a write failed" : "the samples went to a stream";
    file_.discard();
    return false;
  }
  if (format_ == Format::kNpy) {
    // The header claims the samples the file holds, at the length it had.
    const std::string header = npy_header(offset_binary_, written_, header_length_);
    if (std::fflush(file_.stream()) != 0 || std::fseek(file_.stream(), 0, SEEK_SET) != 0 ||
        header.size() != header_length_ ||
        std::fwrite(header.data(), 1, header.size(), file_.stream()) != header.size()) {
      error = errno_sentence(errno);
      file_.discard();
      return false;
    }
  }
  name = partial_name(target_);
  if (format_ == Format::kSigmf) {
    // NAME.partial.sigmf-data and NAME.partial.sigmf-meta: one recording of the samples kept.
    name = sigmf_base(name) + ".sigmf-meta";
    file_.retarget(sigmf_base(name) + ".sigmf-data");
    meta_.retarget(name);
    return commit_recording(true, error);
  }
  return file_.commit_as(name, error);
}

}  // namespace client
