// SPDX-License-Identifier: Apache-2.0
#pragma once
// Intel HEX loader: turns a HEX file into the flash images of one MCU family,
// keeping only what the device's geometry accepts. No UI: failures come back
// as data (kind + the exact message text) for the front end to show. The
// file is read by image/intel_hex.h and built by image/image_builder.h.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/boot_info.h"
#include "core/byte_array.h"
#include "core/families.h"

namespace quorvel {

namespace io {
class FileSys;
}

// The loader's part of the uploader's state.
struct THexImages {
  TByteArray FlashImage;      // program memory; index = image offset of the family
  TByteArray BootFlashImage;  // PIC32 boot flash; index = address - kPic32BootFlash
  bool HexLoaded = false;     // a load has run to its end
  std::uint8_t HexMcuType = 0;  // McuType in force when that load ended
};

enum class HexLoadStatus {
  Loaded,          // ran to its end (HexLoaded/HexMcuType updated)
  NotLoaded,       // file missing or McuType 0: nothing changed, nothing to report
  ChecksumFailed,  // warning box: "CRC check failed. Invalid CRC at line N in file 'x'.\r\nNo data will be loaded."
  FlashOffset,     // error box: "Start address of hex input in line 'N' violates internal flash offset."
  InvalidInteger,  // application error: "'$..' is not a valid integer value"
  Unreadable,      // application error: the file cannot be read
  TooLarge,        // application error: the file would need an image larger than any device has,
                   // or is longer than kMaxHexFileBytes
};

// Data bytes of a loaded file that no acceptance window of the device keeps, so that an upload
// never writes them (configuration words, EEPROM data, code for a larger part).
struct DroppedData {
  std::uint64_t bytes = 0;
  std::uint32_t firstAddress = 0;  // the lowest of their addresses, as the file gives it
};

struct HexLoadResult {
  HexLoadStatus status = HexLoadStatus::NotLoaded;
  std::string message;  // exact text to show; empty for Loaded/NotLoaded
  DroppedData dropped{};  // Loaded only
};

// Loads `path` for info.McuType and the geometry in `info` into `images`.
HexLoadResult LoadHexFile(const std::string& path, const TBootInfo& info, THexImages& images);
// The same through the system calls of `sys`.
HexLoadResult LoadHexFile(const std::string& path, const TBootInfo& info, THexImages& images, io::FileSys& sys);
// The same over text already in memory; `fileName` is used in messages only
// (without its folder). Used by tests and the fuzzer.
HexLoadResult LoadHexText(std::string_view text, std::string_view fileName, const TBootInfo& info,
                          THexImages& images);

// Largest image the loader builds for any family (the PIC32 program window).
inline constexpr std::uint32_t kMaxImageBytes = kPic32ProgramWindow;
// Largest file LoadHexFile reads: far above the HEX text of the largest image, even in 1-byte
// records, so anything longer is refused (TooLarge) before it is read.
inline constexpr std::uint64_t kMaxHexFileBytes = std::uint64_t{1} << 30;

}  // namespace quorvel
