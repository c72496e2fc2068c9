// SPDX-License-Identifier: Apache-2.0
#pragma once
// Builds Intel HEX text for tests: data records of at most `bytesPerRecord` bytes that never cross a
// 64 KB boundary, an extended linear address (04) record wherever the upper address changes, and the
// end-of-file record. Written independently of the loader so that tests do not check it against itself.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::testhex {

struct Segment {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
};

struct Options {
  std::size_t bytesPerRecord = 16;
  std::string_view eol = "\r\n";
  bool endRecord = true;
  // Emit a 04 record before the first data record even when its upper address is 0x0000.
  bool leadingLinearRecord = false;
};

// One record with its checksum: ":" count address type data checksum, upper-case, no line end.
inline std::string Record(std::uint8_t type, std::uint16_t address, const std::uint8_t* data, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = ":";
  unsigned sum = 0;
  auto put = [&](std::uint8_t b) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
    sum += b;
  };
  put(static_cast<std::uint8_t>(count));
  put(static_cast<std::uint8_t>(address >> 8));
  put(static_cast<std::uint8_t>(address));
  put(type);
  for (std::size_t i = 0; i < count; ++i) put(data[i]);
  const auto check = static_cast<std::uint8_t>(0x100u - (sum & 0xFFu));
  out.push_back(kDigits[check >> 4]);
  out.push_back(kDigits[check & 15]);
  return out;
}

inline std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  return Record(type, address, data.data(), data.size());
}

inline std::string LinearAddressRecord(std::uint16_t upper) {
  const std::uint8_t data[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
  return Record(4, 0, data, 2);
}

inline std::string EndRecord() { return ":00000001FF"; }

inline std::string Make(const std::vector<Segment>& segments, const Options& options = {}) {
  std::string out;
  std::uint32_t upper = 0;
  bool first = true;
  const std::size_t perRecord = std::clamp<std::size_t>(options.bytesPerRecord, 1, 255);
  for (const Segment& segment : segments) {
    std::size_t done = 0;
    while (done < segment.bytes.size()) {
      const std::uint32_t address = segment.address + static_cast<std::uint32_t>(done);
      if ((address >> 16) != upper || (first && options.leadingLinearRecord)) {
        upper = address >> 16;
        out += LinearAddressRecord(static_cast<std::uint16_t>(upper));
        out += options.eol;
      }
      first = false;
      const std::size_t toBoundary = 0x10000u - (address & 0xFFFFu);
      const std::size_t n = std::min({perRecord, segment.bytes.size() - done, toBoundary});
      out += Record(0, static_cast<std::uint16_t>(address), segment.bytes.data() + done, n);
      out += options.eol;
      done += n;
    }
  }
  if (options.endRecord) {
    out += EndRecord();
    out += options.eol;
  }
  return out;
}

}  // namespace quorvel::testhex
