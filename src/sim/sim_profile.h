#pragma once
// Profile of a simulated bootloader: what it reports, how it behaves, which
// faults it injects. Parsed from "key=value,key=value" (the --simulate option).
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quorvel::sim {

struct SimProfile {
  std::uint8_t family = 37;           // family code
  std::uint16_t revision = 0x1200;    // bit 0: bootloader at the bottom
  std::uint32_t bootStart = 0;        // device address units of the family
  std::uint32_t programStart = 0;
  std::uint32_t size = 0;             // McuSize as reported
  std::uint16_t eraseBlock = 0;
  std::uint16_t writeBlock = 0;
  std::string description;
  std::string product = "USB HID Bootloader";
  std::string serial;                 // empty: none
  std::uint16_t vendorId = 0x04D8;
  std::uint16_t productId = 0x003C;
  std::uint32_t paceMs = 0;           // per report, each direction
  std::uint32_t dropEvent = 0;        // trace event number (1-based) that gets no answer; 0 = none
  std::uint32_t nakEvent = 0;         // ... that gets 0F 00 instead of its answer
  std::uint32_t unplugEvent = 0;      // ... on which the device vanishes (the event is still traced)
  std::uint32_t plugAfterMs = 0;      // command line only: appear this long after start
};

// Per-family defaults (geometry of a typical part of that family), applied
// before the keys of a spec. Returns false for an unknown family code.
bool DefaultProfile(std::uint8_t family, SimProfile& out);

struct SimSpecError { std::string message; };
// Parses "family=STM32F4XX,erase=0x400,serial=0001" etc. Keys: family, revision,
// boot-start, program-start, size, erase, write, description, product, serial,
// pace, drop, nak, unplug, plug-after. Numbers in decimal or 0x-hex.
std::variant<SimProfile, SimSpecError> ParseSimSpec(std::string_view spec);

}  // namespace quorvel::sim
