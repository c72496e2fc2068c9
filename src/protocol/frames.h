// SPDX-License-Identifier: Apache-2.0
#pragma once
// Command frames of the bootloader protocol. A frame is the marker byte, the
// command code and, for Write and Erase, a little-endian 32-bit address and a
// 16-bit count. Frames travel in the first bytes of a 64-byte report payload.
#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvel {

inline constexpr std::uint8_t FrameMarker = 0x0F;

// Command codes. An acknowledgement echoes the marker and the code.
enum TCommand : std::uint8_t {
  Sync = 1,
  Info = 2,
  Boot = 3,
  Reboot = 4,
  Write = 11,
  Erase = 21,
};

inline constexpr std::size_t ShortFrameLength = 2;    // Sync, Info, Boot, Reboot
inline constexpr std::size_t AddressFrameLength = 8;  // Write, Erase

// Largest counts a caller may put into a frame.
inline constexpr std::uint16_t MaxWriteCount = 0x8000;
inline constexpr std::uint16_t MaxEraseCount = 0x7FFF;

constexpr std::array<std::uint8_t, ShortFrameLength> ShortFrame(std::uint8_t command) {
  return {FrameMarker, command};
}

constexpr std::array<std::uint8_t, AddressFrameLength> AddressFrame(std::uint8_t command,
                                                                    std::uint32_t address,
                                                                    std::uint16_t count) {
  return {FrameMarker,
          command,
          static_cast<std::uint8_t>(address),
          static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address >> 16),
          static_cast<std::uint8_t>(address >> 24),
          static_cast<std::uint8_t>(count),
          static_cast<std::uint8_t>(count >> 8)};
}

// True when the first two received bytes acknowledge `command`.
constexpr bool IsAcknowledgement(const std::uint8_t* data, std::size_t size, std::uint8_t command) {
  return size >= 2 && data[0] == FrameMarker && data[1] == command;
}

}  // namespace quorvel
