// One JSON object per command, written by hand: the keys are fixed, the values numbers,
// strings, booleans, null, such objects or arrays of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace client {

class JsonObject {
 public:
  JsonObject& add_int(const std::string& key, int64_t value);
  JsonObject& add_number(const std::string& key, double value);  // null when not finite
  JsonObject& add_string(const std::string& key, const std::string& value);
  JsonObject& add_bool(const std::string& key, bool value);
  JsonObject& add_null(const std::string& key);
  JsonObject& add_array(const std::string& key, const std::vector<JsonObject>& array);
  JsonObject& add_object(const std::string& key, const JsonObject& object);
  JsonObject& add_int_array(const std::string& key, const std::vector<int64_t>& values);
  // The object on one line, without a line end.
  std::string text() const { return "{" + members_ + "}"; }

 private:
  JsonObject& member(const std::string& key, const std::string& value);
  std::string members_;
};

// A JSON string literal of `s` (quotes included).
std::string json_string(const std::string& s);

}  // namespace client
