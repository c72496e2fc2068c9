// SPDX-License-Identifier: Apache-2.0
#pragma once
// Working state of one upload run: created empty when a run starts and
// discarded when it ends. The layout routines, the relocation and the block
// writers share it.
#include <cstdint>
#include <string>

#include "core/byte_array.h"
#include "protocol/wait_result.h"
#include "upload/flash_area.h"

namespace quorvel {

// What a run wrote: data bytes sent in Write commands and the SHA-256 of the
// program ranges as staged (in the order written) and of the staged boot image.
struct UploadProof {
  std::uint64_t bytesWritten = 0;
  std::string programSha256;  // lower-case hex
  std::string bootSha256;     // empty when there is no boot image
};

struct TUploadState {
  TFlashArea Area;                     // where the application goes; checked when the run starts
  TImageData Data = TImageData::None;  // what of the images goes to the device
  TByteArray ImageCopy;                // copy of FlashImage; patched, trimmed, cut
  TByteArray BootImageCopy;            // copy of BootFlashImage (PIC32)
  TByteArray EntryStub;                // code with which the bootloader enters the application
  std::uint32_t BaseAddress = 0;       // device address of the first program byte written
  std::uint32_t BootBaseAddress = 0;   // device address of BootImageCopy[0]
  std::uint32_t BootLimit = 0;         // BootStart in image units (top layout only)
  bool StartupRecognised = false;      // PIC32 boot image starts with a known start-up word
  std::int32_t BlocksLeft = 0;
  std::int32_t BlockGroup = 0;
  std::uint32_t CurrentAddress = 0;
  TWaitResult WaitResult = WaitAcknowledged;
  TByteArray WriteCommand;             // the planned bytes of the Write command being sent
  UploadProof Proof;                   // what this run has written so far
};

}  // namespace quorvel
