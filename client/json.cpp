#include "client/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace client {

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::member(const std::string& key, const std::string& value) {
  if (!members_.empty()) members_ += ", ";
  members_ += json_string(key) + ": " + value;
  return *this;
}

JsonObject& JsonObject::add_int(const std::string& key, int64_t value) {
  return member(key, std::to_string(value));
}

JsonObject& JsonObject::add_number(const std::string& key, double value) {
  if (!std::isfinite(value)) return add_null(key);
  // Whole numbers as integers (250000000, not 2.5e+08); others in the shortest text that reads
  // back as the same double.
  char buffer[32];
  const auto end =
      std::trunc(value) == value && std::fabs(value) < 1e15
          ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value)).ptr
          : std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return member(key, std::string(buffer, end));
}

JsonObject& JsonObject::add_string(const std::string& key, const std::string& value) {
  return member(key, json_string(value));
}

JsonObject& JsonObject::add_bool(const std::string& key, bool value) {
  return member(key, value ? "true" : "false");
}

JsonObject& JsonObject::add_null(const std::string& key) {
  return member(key, "null");
}

JsonObject& JsonObject::add_array(const std::string& key, const std::vector<JsonObject>& array) {
  std::string items;
  for (const JsonObject& o : array) items += (items.empty() ? "" : ", ") + o.text();
  return member(key, "[" + items + "]");
}

JsonObject& JsonObject::add_int_array(const std::string& key, const std::vector<int64_t>& values) {
  std::string items;
  for (const int64_t v : values) items += (items.empty() ? "" : ", ") + std::to_string(v);
  return member(key, "[" + items + "]");
}

JsonObject& JsonObject::add_object(const std::string& key, const JsonObject& object) {
  return member(key, object.text());
}

}  // namespace client
