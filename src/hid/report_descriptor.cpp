// SPDX-License-Identifier: Apache-2.0
#include "hid/report_descriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace quorvel::hid {

namespace {
enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };
// Main item tags
constexpr int kInput = 0x8, kOutput = 0x9, kFeature = 0xB;
// Global item tags
constexpr int kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB;
constexpr std::size_t kMaxPushDepth = 32;
constexpr std::size_t kMaxReportIds = 256;

struct Globals {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

struct Bits {
  std::uint64_t input = 0, output = 0, feature = 0;
};

std::uint32_t ToBytes(std::uint64_t bits) {
  const std::uint64_t bytes = (bits + 7) / 8;
  return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
}
}  // namespace

std::optional<ReportDescriptorSummary> ParseReportDescriptor(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr && size != 0) return std::nullopt;
  Globals globals;
  std::vector<Globals> stack;
  std::map<std::uint32_t, Bits> reports;
  ReportDescriptorSummary out;
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t prefix = data[i];
    if (prefix == 0xFE) {
      // Long item: size byte, tag byte, then the data. Nothing here concerns lengths.
      if (size - i < 3) return std::nullopt;
      const std::size_t len = data[i + 1];
      if (size - i - 3 < len) return std::nullopt;
      i += 3 + len;
      continue;
    }
    const std::size_t len = (prefix & 3u) == 3u ? 4 : (prefix & 3u);
    if (size - i - 1 < len) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < len; ++k) value |= static_cast<std::uint32_t>(data[i + 1 + k]) << (8 * k);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    i += 1 + len;

    if (type == kGlobal) {
      switch (tag) {
        case kReportSize: globals.reportSize = value; break;
        case kReportCount: globals.reportCount = value; break;
        case kReportId:
          if (value == 0 || value > 255) return std::nullopt;
          globals.reportId = value;
          out.numbered = true;
          break;
        case kPush:
          if (stack.size() >= kMaxPushDepth) return std::nullopt;
          stack.push_back(globals);
          break;
        case kPop:
          if (stack.empty()) return std::nullopt;
          globals = stack.back();
          stack.pop_back();
          break;
        default: break;
      }
    } else if (type == kMain && (tag == kInput || tag == kOutput || tag == kFeature)) {
      if (reports.size() >= kMaxReportIds && reports.find(globals.reportId) == reports.end()) return std::nullopt;
      Bits& bits = reports[globals.reportId];
      const std::uint64_t add = std::uint64_t{globals.reportSize} * globals.reportCount;
      std::uint64_t& target = tag == kInput ? bits.input : tag == kOutput ? bits.output : bits.feature;
      target = std::min<std::uint64_t>(target + add, std::uint64_t{1} << 40);
    }
    // Local items describe usages only; they do not change lengths.
  }
  for (const auto& [id, bits] : reports) {
    out.maxInputBytes = std::max(out.maxInputBytes, ToBytes(bits.input));
    out.maxOutputBytes = std::max(out.maxOutputBytes, ToBytes(bits.output));
    out.maxFeatureBytes = std::max(out.maxFeatureBytes, ToBytes(bits.feature));
  }
  return out;
}

}  // namespace quorvel::hid
