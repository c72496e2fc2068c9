// SPDX-License-Identifier: Apache-2.0
#include "sim/sim_profile.h"

#include <charconv>
#include <map>
#include <optional>

#include "core/families.h"

namespace quorvel::sim {

namespace {

struct FamilyGeometry {
  std::uint8_t family;
  std::uint32_t size;
  std::uint16_t erase;
  std::uint16_t write;
  std::uint32_t bootStart;
  std::uint32_t bottomProgramStart;
};

// Typical parts: PIC16F1459, PIC18F4550, PIC18F46J50, PIC24FJ64GB002,
// dsPIC30F4013, dsPIC33EP256MU806, PIC32MX460F512L, TM4C123/LM3S, STM32L151,
// STM32F103, STM32F2xx/F4xx with 1 MB.
constexpr FamilyGeometry kGeometry[] = {
    {mcu::PIC16, 0x4000, 64, 64, 0x3000, 0x1000},
    {mcu::PIC18, 0x8000, 64, 64, 0x7C00, 0x1000},
    {mcu::PIC18FJ, 0x10000, 1024, 64, 0xF000, 0x1000},
    {mcu::PIC24, 0x10200, 1536, 192, 0x9C00, 0x1000},
    {mcu::dsPIC, 0xC000, 96, 96, 0x7000, 0x1000},
    {mcu::dsPIC33, 0x40800, 3072, 384, 0x2A000, 0x1000},
    {mcu::PIC32, 0x80000, 4096, 512, 0x9D07C000, 0x4000},
    {mcu::ARM, 0x40000, 1024, 64, 0x3C000, 0x4000},
    {mcu::STELLARIS_M3, 0x40000, 1024, 64, 0x3C000, 0x4000},
    {mcu::STELLARIS_M4, 0x40000, 1024, 64, 0x3C000, 0x4000},
    {mcu::STELLARIS, 0x40000, 1024, 64, 0x3C000, 0x4000},
    {mcu::STM32L1XX, 0x20000, 256, 64, 0x1C000, 0x4000},
    {mcu::STM32F1XX, 0x20000, 1024, 64, 0x1C000, 0x4000},
    {mcu::STM32F2XX, 0x100000, 1024, 64, 0xE0000, 0x8000},
    {mcu::STM32F4XX, 0x100000, 1024, 64, 0xE0000, 0x8000},
    {mcu::TIVA_C, 0x40000, 1024, 64, 0x3C000, 0x4000},
};

// Every family of the table can be simulated.
constexpr bool CoversEveryFamily() {
  for (std::uint8_t code : kKnownFamilies) {
    bool found = false;
    for (const auto& g : kGeometry) found = found || g.family == code;
    if (!found) return false;
  }
  return std::size(kGeometry) == kKnownFamilies.size();
}
static_assert(CoversEveryFamily());

const FamilyGeometry* Geometry(std::uint8_t family) {
  for (const auto& g : kGeometry) {
    if (g.family == family) return &g;
  }
  return nullptr;
}

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
  const FamilyGeometry* g = Geometry(family);
  if (g == nullptr) return false;
  out.family = family;
  out.revision = 0x1200;
  out.bootStart = g->bootStart;
  out.programStart = 0;
  out.size = g->size;
  out.eraseBlock = g->erase;
  out.writeBlock = g->write;
  out.description = "Simulated " + std::string(McuFamilyName(family));
  return true;
}

std::uint32_t DefaultProgramStart(std::uint8_t family) {
  const FamilyGeometry* g = Geometry(family);
  return g == nullptr ? 0 : g->bottomProgramStart;
}

std::variant<SimProfile, SimProfileError> ParseSimProfile(std::string_view profileText) {
  std::map<std::string, std::string, std::less<>> values;
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

  SimProfile profile;
  std::uint8_t family = mcu::STM32F4XX;
  if (auto it = values.find("family"); it != values.end()) {
    auto code = ParseMcuFamily(it->second);
    // A family code in 0x hex, like every other number here.
    if (!code) {
      const auto number = ParseNumber(it->second);
      if (number && *number <= 0xFF && IsKnownFamily(static_cast<std::uint8_t>(*number)))
        code = static_cast<std::uint8_t>(*number);
    }
    if (!code) return SimProfileError{"unknown family \"" + it->second + "\""};
    family = *code;
    values.erase(it);
  }
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
