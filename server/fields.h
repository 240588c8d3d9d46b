// Typed fields of a request's JSON body: a missing field takes its default; a field of the wrong
// type, out of range or not finite is a 400 naming the field. Unknown fields are refused too, so
// that a misspelt setting is not silently ignored.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "server/jobs.h"

namespace server {

[[noreturn]] inline void bad_request(const std::string& message) {
  throw ApiError{400, message, std::nullopt};
}

// "\"name\" says". Built by appending: GCC 12 at -O3 takes `"literal" + std::string(...)` for
// an overlapping copy and warns.
[[noreturn]] inline void bad_field(const char* name, const std::string& says) {
  std::string message = "\"";
  message += name;
  message += "\" ";
  message += says;
  bad_request(message);
}

inline void require_object(const nlohmann::json& j, std::initializer_list<const char*> known) {
  if (!j.is_object()) bad_request("the body must be a JSON object");
  for (const auto& item : j.items()) {
    bool found = false;
    for (const char* k : known) found = found || item.key() == k;
    if (!found) bad_request("unknown field \"" + item.key() + "\"");
  }
}

inline int64_t int_field(const nlohmann::json& j, const char* name, int64_t fallback, int64_t lo,
                         int64_t hi) {
  if (!j.contains(name)) return fallback;
  const nlohmann::json& v = j.at(name);
  int64_t x = 0;
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      bad_field(name, "is out of range");
    }
    x = v.get<int64_t>();
  } else if (v.is_number_float() && std::isfinite(v.get<double>()) &&
             v.get<double>() == std::floor(v.get<double>()) && std::fabs(v.get<double>()) < 9e15) {
    x = static_cast<int64_t>(v.get<double>());  // 250e6 written as a float is still whole
  } else {
    bad_field(name, "must be a whole number");
  }
  if (x < lo || x > hi) {
    bad_field(name, "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
  }
  return x;
}

inline double number_field(const nlohmann::json& j, const char* name, double fallback, double lo,
                           double hi) {
  if (!j.contains(name)) return fallback;
  const nlohmann::json& v = j.at(name);
  if (!v.is_number() || !std::isfinite(v.get<double>())) {
    bad_field(name, "must be a finite number");
  }
  const double x = v.get<double>();
  if (x < lo || x > hi) bad_field(name, "is out of range");
  return x;
}

inline bool bool_field(const nlohmann::json& j, const char* name, bool fallback) {
  if (!j.contains(name)) return fallback;
  if (!j.at(name).is_boolean()) bad_field(name, "must be true or false");
  return j.at(name).get<bool>();
}

inline std::string string_field(const nlohmann::json& j, const char* name,
                                const std::string& fallback) {
  if (!j.contains(name)) return fallback;
  if (!j.at(name).is_string()) bad_field(name, "must be a string");
  return j.at(name).get<std::string>();
}

// A JSON number, or null for the infinities and NaN (which JSON cannot carry).
inline nlohmann::json number_or_null(double x) {
  return std::isfinite(x) ? nlohmann::json(x) : nlohmann::json(nullptr);
}

}  // namespace server
