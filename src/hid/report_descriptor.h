// SPDX-License-Identifier: Apache-2.0
#pragma once
// A HID report-descriptor reader: just enough to know the report lengths.
//
// Walks short and long items, keeps the global state (with Push/Pop), and sums
// the bits of every Input, Output and Feature main item per report ID. Plain
// C++, no allocation proportional to the input beyond the report table.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorvel::hid {

struct ReportDescriptorSummary {
  bool numbered = false;  // the descriptor declares report IDs
  // Data bytes of the largest report of each kind, without the ID byte.
  std::uint32_t maxInputBytes = 0;
  std::uint32_t maxOutputBytes = 0;
  std::uint32_t maxFeatureBytes = 0;
  // Report lengths as the device objects present them: the largest report plus
  // the report-ID byte (which unnumbered reports get as a 0 in front); 0 when
  // the device has no report of that kind. Capped at 0xFFFF.
  std::uint16_t InputReportByteLength() const { return Length(maxInputBytes); }
  std::uint16_t OutputReportByteLength() const { return Length(maxOutputBytes); }

 private:
  static std::uint16_t Length(std::uint32_t bytes) {
    if (bytes == 0) return 0;
    return bytes >= 0xFFFF ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(bytes + 1);
  }
};

// nullopt for a malformed descriptor: an item cut off by the end, Pop without
// Push, report ID 0, a push stack deeper than any real device needs.
std::optional<ReportDescriptorSummary> ParseReportDescriptor(const std::uint8_t* data, std::size_t size);

}  // namespace quorvel::hid
