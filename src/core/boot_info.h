// SPDX-License-Identifier: Apache-2.0
#pragma once
// The bootloader's information record: what the device says about itself.
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvel {

struct TBootInfo {
  std::uint16_t BootRevision = 0;  // bit 0 set: bootloader at the bottom of flash
  std::int32_t BootStart = 0;      // device address where the bootloader begins
  std::int32_t ProgramStart = 0;   // first application address (bottom layout)
  std::uint8_t McuType = 0;        // family code, see core/families.h
  std::uint32_t McuSize = 0;       // end of program memory
  std::uint16_t EraseBlock = 0;    // erase block in image bytes; chunk size
  std::uint16_t WriteBlock = 0;    // write block in image bytes
  std::string DeviceDescription;   // free text, one byte per character
};

constexpr bool BootAtBottom(const TBootInfo& info) { return (info.BootRevision & 1u) != 0; }
// From this revision on, McuSize is the program-memory limit for the HEX loader.
constexpr bool HasNewGeometry(const TBootInfo& info) { return info.BootRevision >= 0x1200; }

// Parses a record as it lies in a receive buffer (record length first, then
// tag/value entries) into `info`. Fields whose tags are absent keep their value;
// the family in force decides the alignment of later values. Never reads at or
// past `size`: a value or text cut off by the end of the received bytes is
// taken as far as it goes (missing bytes count as 0, a text ends there).
void ParseBootInfoRecord(const std::uint8_t* data, std::size_t size, TBootInfo& info);

}  // namespace quorvel
