// SPDX-License-Identifier: Apache-2.0
#pragma once
// One JSON object per output line, for scripts and IDEs reading --json output.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::cli {

// `text` as a JSON string literal, quotes included. Invalid UTF-8 becomes
// U+FFFD so the line stays valid JSON whatever a device reports.
std::string JsonString(std::string_view text);

// Builds {"key":value,...} in insertion order.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
  JsonObject& Add(std::string_view key, std::int64_t number);
  JsonObject& Add(std::string_view key, int number) { return Add(key, static_cast<std::int64_t>(number)); }
  JsonObject& Add(std::string_view key, bool value);
  // With three decimals (seconds to the millisecond); null when not finite.
  JsonObject& Add(std::string_view key, double number);
  std::string Str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

}  // namespace quorvel::cli
