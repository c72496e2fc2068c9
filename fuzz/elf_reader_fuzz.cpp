// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the ELF reader and the image building behind it. The first input byte chooses
// family, geometry and whether a --base is given; the rest is the file. Besides crashes it catches
// broken promises: a piece outside the file or beyond 4 GB, pieces out of order or overlapping, a
// refusal that is not one line or that leaves data behind, an image beyond any device.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "image/elf_reader.h"
#include "image/firmware_file.h"
#include "core/families.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  using fuzz::Check;
  if (size == 0) return 0;
  static constexpr std::uint8_t kFamilies[] = {mcu::PIC16, mcu::PIC18,     mcu::PIC24, mcu::dsPIC33,
                                               mcu::PIC32, mcu::STM32F4XX, mcu::ARM,   99};
  TBootInfo info;
  info.McuType = kFamilies[data[0] & 7u];
  info.BootRevision = (data[0] & 8u) != 0 ? 0x1000 : 0x1200;
  info.BootStart = (data[0] & 16u) != 0 ? 0x7C00 : 0x1F000;
  info.McuSize = (data[0] & 32u) != 0 ? 0xFFFFFFFFu : 0x40000u;

  const std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  const ElfReadResult elf = ReadElfPieces(file, "fuzz", info.McuType);
  if (elf.ok()) {
    Check(!elf.pieces.empty());
    std::uint64_t end = 0;
    for (const FirmwarePiece& piece : elf.pieces) {
      Check(piece.bytes.data() >= file.data() &&
            piece.bytes.data() + piece.bytes.size() <= file.data() + file.size());
      Check(std::uint64_t{piece.address} + piece.bytes.size() <= std::uint64_t{1} << 32);
      Check(piece.address >= end);  // in address order, none overlapping
      end = std::uint64_t{piece.address} + piece.bytes.size();
    }
  } else {
    Check(elf.pieces.empty() && elf.error.find('\n') == std::string::npos);
  }

  FirmwareInput input;
  input.path = "-";
  input.contents = &file;
  input.displayName = "fuzz";
  if ((data[0] & 64u) != 0) input.base = 0x08000000u;
  THexImages images;
  images.HexMcuType = 0xEE;
  const FirmwareLoadResult result = LoadFirmware(input, info, images);
  Check(images.FlashImage.size() <= kMaxImageBytes && images.BootFlashImage.size() <= kMaxImageBytes);
  if (!IsPic32(info.McuType)) Check(images.BootFlashImage.empty());
  if (result.load.status == HexLoadStatus::Loaded) {
    Check(result.load.message.empty() && images.HexLoaded && images.HexMcuType == info.McuType);
  } else {
    Check(!result.load.message.empty() && !images.HexLoaded && images.HexMcuType == 0xEE);
  }
  if (result.format == FirmwareFormat::Elf && !elf.ok()) {
    Check(result.load.status == HexLoadStatus::Unreadable && result.load.message == elf.error);
    Check(images.FlashImage.empty() && images.BootFlashImage.empty());
  }
  return 0;
}
