// SPDX-License-Identifier: Apache-2.0
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
  std::uint32_t answerMs = 0;         // before each answer (only event lateEvent's, when given)
  std::uint32_t eraseMs = 0;          // more before an Erase's answer, per erase unit
  std::uint32_t lateEvent = 0;        // trace event number (1-based) whose answer alone takes answerMs
  std::uint32_t dropEvent = 0;        // trace event number (1-based) that gets no answer; 0 = none
  std::uint32_t nakEvent = 0;         // ... that gets 0F 00 instead of its answer
  std::uint32_t unplugEvent = 0;      // ... on which the device vanishes (the event is still traced)
  std::uint32_t stallEvent = 0;       // ... on which the firmware hangs: no answer, nothing more taken
  std::uint32_t skipEvent = 0;        // ... acknowledged but not carried out (an erase that erases nothing)
  std::uint32_t plugAfterMs = 0;      // command line only: appear this long after start
};

// Per-family defaults: the family's sample part (its row in core/families.h)
// with the bootloader at the top of flash (revision 0x1200).
// Revision bit 0 selects the bootloader at the bottom: ParseSimProfile then uses
// the sample's bottom program start as program-start (unless given) and the
// start of flash as boot-start. The description defaults to "Simulated <family name>".
// Returns false for an unknown family code.
bool DefaultProfile(std::uint8_t family, SimProfile& out);

// Bottom-layout program start of the family's default part (0 when unknown).
std::uint32_t DefaultProgramStart(std::uint8_t family);

struct SimProfileError { std::string message; };
// Parses "family=STM32F4XX,erase=0x400,serial=0001" etc. Keys: family, revision,
// boot-start, program-start, size, erase, write, description, product, serial,
// vid, pid, pace, answer-ms, erase-ms, late, drop, nak, unplug, stall, skip,
// plug-after. Numbers in decimal or 0x-hex.
// The family (by name or code) is applied first whatever its position; an empty
// profileText gives the STM32F4XX defaults. Unknown keys, repeated keys, bad numbers
// and values out of range are errors.
std::variant<SimProfile, SimProfileError> ParseSimProfile(std::string_view profileText);

}  // namespace quorvel::sim
