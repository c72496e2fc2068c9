#include "image/mcu_family.h"

#include <cctype>
#include <charconv>
#include <string>

namespace quorvel {

namespace {
// Lower-case letters and digits only: "Tiva_C Series" -> "tivacseries".
std::string Folded(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '_' || c == '\t') continue;
    out.push_back(static_cast<char>(std::tolower(u)));
  }
  return out;
}
}  // namespace

std::optional<std::uint8_t> ParseMcuFamily(std::string_view text) {
  const std::string key = Folded(text);
  if (key.empty()) return std::nullopt;
  unsigned value = 0;
  const auto* end = key.data() + key.size();
  if (auto [p, ec] = std::from_chars(key.data(), end, value); ec == std::errc{} && p == end) {
    if (value <= 255 && IsKnownFamily(static_cast<std::uint8_t>(value))) return static_cast<std::uint8_t>(value);
    return std::nullopt;
  }
  for (std::uint8_t code : kKnownFamilies) {
    if (Folded(McuFamilyName(code)) == key) return code;
  }
  // The window's command-line keyword for the Tiva family.
  if (key == "tivac") return mcu::TIVA_C;
  return std::nullopt;
}

}  // namespace quorvel
