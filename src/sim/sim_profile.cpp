// SPDX-License-Identifier: Apache-2.0
#include "sim/sim_profile.h"

#include <charconv>
#include <map>
#include <optional>

#include "core/families.h"

namespace quorvel::sim {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc{} || p != end) return std::nullopt;
  return value;
}

}  // namespace

bool DefaultProfile(std::uint8_t family, SimProfile& out) {
  const FamilyFacts* f = FindFamily(family);
  if (f == nullptr) return false;
  out.family = family;
  out.revision = 0x1200;
  out.bootStart = f->sample.bootStart;
  out.programStart = 0;
  out.size = f->sample.size;
  out.eraseBlock = f->sample.eraseBlock;
  out.writeBlock = f->sample.writeBlock;
  out.description = "Simulated " + std::string(McuFamilyName(family));
  return true;
}

std::uint32_t DefaultProgramStart(std::uint8_t family) {
  const FamilyFacts* f = FindFamily(family);
  return f == nullptr ? 0 : f->sample.bottomProgramStart;
}

namespace {

using KeyValues = std::map<std::string, std::string, std::less<>>;

// "key=value, key=value": each key once; blank items are skipped.
std::optional<SimProfileError> SplitKeyValues(std::string_view profileText, KeyValues& values) {
  while (!profileText.empty()) {
    const std::size_t comma = profileText.find(',');
    const std::string_view item = Trim(profileText.substr(0, comma));
    profileText = comma == std::string_view::npos ? std::string_view{} : profileText.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return SimProfileError{"missing '=' in \"" + std::string(item) + "\""};
    std::string key(Trim(item.substr(0, eq)));
    const std::string_view value = Trim(item.substr(eq + 1));
    if (!values.emplace(key, std::string(value)).second) return SimProfileError{"key \"" + key + "\" given twice"};
  }
  return std::nullopt;
}

// family=: a name, or a family code in 0x hex like every other number here;
// STM32F4 when not given. The key is taken out of `values`.
std::optional<SimProfileError> TakeFamily(KeyValues& values, std::uint8_t& family) {
  family = mcu::STM32F4XX;
  auto it = values.find("family");
  if (it == values.end()) return std::nullopt;
  auto code = ParseMcuFamily(it->second);
  if (!code) {
    const auto number = ParseNumber(it->second);
    if (number && *number <= 0xFF && IsKnownFamily(static_cast<std::uint8_t>(*number)))
      code = static_cast<std::uint8_t>(*number);
  }
  if (!code) return SimProfileError{"unknown family \"" + it->second + "\""};
  family = *code;
  values.erase(it);
  return std::nullopt;
}

}  // namespace

std::variant<SimProfile, SimProfileError> ParseSimProfile(std::string_view profileText) {
  KeyValues values;
  if (auto error = SplitKeyValues(profileText, values)) return *error;
  SimProfile profile;
  std::uint8_t family = mcu::STM32F4XX;
  if (auto error = TakeFamily(values, family)) return *error;
  DefaultProfile(family, profile);

  auto take = [&](std::string_view key) -> std::optional<std::string> {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    std::string v = it->second;
    values.erase(it);
    return v;
  };
  std::optional<SimProfileError> error;
  auto number = [&](std::string_view key, std::uint64_t max, auto& field) -> bool {
    auto text = take(key);
    if (!text) return false;
    auto v = ParseNumber(*text);
    if (!v || *v > max) {
      if (!error) error = SimProfileError{"bad value \"" + *text + "\" for " + std::string(key)};
      return false;
    }
    field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
    return true;
  };

  number("revision", 0xFFFF, profile.revision);
  const bool bootGiven = number("boot-start", 0xFFFFFFFFu, profile.bootStart);
  const bool programGiven = number("program-start", 0xFFFFFFFFu, profile.programStart);
  if ((profile.revision & 1u) != 0) {
    if (!programGiven) profile.programStart = DefaultProgramStart(family);
    // The start of program flash; a PIC32 bootloader reports it as a KSEG0 address.
    const FamilyFacts* f = FindFamily(family);
    if (!bootGiven) profile.bootStart = f != nullptr && f->group == FamilyGroup::Pic32 ? kKseg0 | f->commandBase : 0u;
  }
  number("size", 0xFFFFFFFFu, profile.size);
  number("erase", 0xFFFF, profile.eraseBlock);
  number("write", 0xFFFF, profile.writeBlock);
  number("vid", 0xFFFF, profile.vendorId);
  number("pid", 0xFFFF, profile.productId);
  number("pace", 10000, profile.paceMs);
  number("answer-ms", 3600000, profile.answerMs);
  number("erase-ms", 3600000, profile.eraseMs);
  number("late", 0xFFFFFFFFu, profile.lateEvent);
  number("drop", 0xFFFFFFFFu, profile.dropEvent);
  number("nak", 0xFFFFFFFFu, profile.nakEvent);
  number("unplug", 0xFFFFFFFFu, profile.unplugEvent);
  number("stall", 0xFFFFFFFFu, profile.stallEvent);
  number("skip", 0xFFFFFFFFu, profile.skipEvent);
  number("plug-after", 3600000, profile.plugAfterMs);
  if (auto v = take("description")) profile.description = *v;
  if (auto v = take("product")) profile.product = *v;
  if (auto v = take("serial")) profile.serial = *v;
  if (error) return *error;
  if (!values.empty()) return SimProfileError{"unknown key \"" + values.begin()->first + "\""};
  return profile;
}

}  // namespace quorvel::sim
