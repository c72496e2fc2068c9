// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the HEX loader. The first input byte chooses family and geometry, the rest is the
// file's text. Besides crashes it catches broken promises: a refused load that changed the flags,
// a success with a message, or an image beyond any device.
#include <cstdint>
#include <string_view>

#include "core/families.h"
#include "fuzz_check.h"
#include "image/hex_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  using fuzz::Check;
  if (size == 0) return 0;
  static constexpr std::uint8_t kFamilies[] = {mcu::PIC16, mcu::PIC18,    mcu::PIC24, mcu::dsPIC33,
                                               mcu::PIC32, mcu::STM32F4XX, mcu::ARM,  99};
  TBootInfo info;
  info.McuType = kFamilies[data[0] & 7u];
  const bool oldGeometry = (data[0] & 8u) != 0;
  info.BootRevision = oldGeometry ? 0x1000 : 0x1200;
  info.BootStart = (data[0] & 16u) != 0 ? 0x7C00 : 0x1F000;
  info.McuSize = (data[0] & 32u) != 0 ? 0xFFFFFFFFu : 0x40000u;

  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  THexImages images;
  images.HexMcuType = 0xEE;
  const HexLoadResult result = LoadHexText(text, "fuzz.hex", info, images);

  Check(images.FlashImage.size() <= kMaxImageBytes && images.BootFlashImage.size() <= kMaxImageBytes);
  if (!IsPic32(info.McuType)) Check(images.BootFlashImage.empty());
  if (result.status == HexLoadStatus::Loaded) {
    Check(result.message.empty() && images.HexLoaded && images.HexMcuType == info.McuType);
  } else {
    Check(!result.message.empty() && !images.HexLoaded && images.HexMcuType == 0xEE);
    if (result.status == HexLoadStatus::ChecksumFailed || result.status == HexLoadStatus::TooLarge) {
      Check(images.FlashImage.empty() && images.BootFlashImage.empty());
    }
  }
  return 0;
}
