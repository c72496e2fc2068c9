// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a bootloader is told among HID interfaces: by its product string and by
// reports of 64 data bytes each way (65 with the report ID). The other
// interfaces of a composite device carry the same product string, but not
// reports that fit.
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel {

inline constexpr std::u16string_view kBootloaderProduct = u"USB HID Bootloader";
inline constexpr std::uint16_t kBootloaderReportBytes = 65;

constexpr bool IsBootloaderProduct(std::u16string_view product) { return product == kBootloaderProduct; }

constexpr bool BootloaderReportsFit(std::uint16_t inputBytes, std::uint16_t outputBytes) {
  return inputBytes == kBootloaderReportBytes && outputBytes == kBootloaderReportBytes;
}

// What is known of one listed interface without talking to it.
struct InterfaceTraits {
  bool bootloaderProduct = false;
  bool reportsFit = false;
};

// The one test of an interface: every place that tells bootloaders apart
// reads an interface through this.
constexpr InterfaceTraits IsBootloader(std::u16string_view product, std::uint16_t inputBytes,
                                       std::uint16_t outputBytes) {
  const bool named = IsBootloaderProduct(product);
  return {named, named && BootloaderReportsFit(inputBytes, outputBytes)};
}

// Which of the interfaces are bootloaders: those with the product string
// whose reports fit; when none of them fits, every one with the product string.
inline std::vector<bool> Bootloaders(const std::vector<InterfaceTraits>& interfaces) {
  bool anyFits = false;
  for (const InterfaceTraits& i : interfaces) anyFits = anyFits || (i.bootloaderProduct && i.reportsFit);
  std::vector<bool> marks;
  marks.reserve(interfaces.size());
  for (const InterfaceTraits& i : interfaces) marks.push_back(i.bootloaderProduct && (i.reportsFit || !anyFits));
  return marks;
}

}  // namespace quorvel
