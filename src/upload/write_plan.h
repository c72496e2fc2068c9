// SPDX-License-Identifier: Apache-2.0
#pragma once
// What an upload writes, worked out before the first Write: each range of
// program memory and the PIC32 boot flash exactly as the block writers send
// it (the image's bytes, erased fill up to whole write blocks, the entry code
// in place), and the Write commands that carry it. The upload and the `image`
// command both ask this code, so the hashes a production line compares are
// of one and the same byte stream.
//
// With skip-blank the same bytes are staged, but only the write blocks that
// differ from erased flash are sent; the rest is left as the erase left it.
#include <cstdint>
#include <string>
#include <vector>

#include "core/families.h"
#include "core/byte_array.h"
#include "core/boot_info.h"
#include "upload/run_state.h"

namespace quorvel::upload {

// How a writer cuts a range: Write commands of at most commandBytes, each
// sent in transfers of at most chunkBytes (the transfer buffer).
struct WriteShape {
  const FamilyFacts* family = nullptr;
  std::int32_t writeBlock = 0;
  std::int32_t commandBytes = 0;
  std::int32_t chunkBytes = 0;
};

// Program memory: commands of the largest multiple of WriteBlock that fits
// one Write, transfers of one erase block.
WriteShape ProgramWriteShape(const TBootInfo& info, const FamilyFacts& family);
// PIC32 boot flash: commands one write block short of the largest Write.
WriteShape BootWriteShape(const TBootInfo& info, const FamilyFacts& family);

// One Write command.
struct PlannedWrite {
  std::uint32_t address = 0;  // the address the command names
  std::int64_t offset = 0;    // index of its first byte in StagedRange::bytes
  std::int32_t bytes = 0;     // data bytes it announces
};

struct StagedRange {
  std::uint32_t address = 0;         // device address of bytes[0]
  TByteArray bytes;                  // the range as staged, every byte of it
  std::vector<PlannedWrite> writes;  // in order; each sent in transfers of at most chunkBytes
  std::uint64_t BytesToSend() const;
};

// The entry code rides in the transfer that starts at `address`: at its
// start (bottom layout) or in the last bytes of the transfer buffer (top).
struct EntryPlacement {
  const TByteArray* code = nullptr;
  std::uint32_t address = 0;
  bool atEnd = false;
};

// `count` bytes of `source` from `sourceIndex`, staged as the writer stages
// them transfer by transfer: indexes outside the source go out as 0xFF, and
// the entry code overwrites its place. Every byte is planned for writing.
StagedRange StageRange(const TByteArray& source, std::int64_t sourceIndex, std::uint32_t address,
                       std::int64_t count, const WriteShape& shape, const EntryPlacement& entry);

// True when `value` at device address `address` is what erased flash reads:
// 0xFF, and on PIC16 odd bytes (the top of a 14-bit word) also 0x3F.
bool IsErasedValue(const FamilyFacts& family, std::uint64_t address, std::uint8_t value);

// Plans only the writes of whole write blocks (whole instruction words on
// the 16-bit PICs) that hold something other than erased flash, joined into
// runs and cut to the command size. The staged bytes stay as they are.
void SkipBlankBlocks(StagedRange& range, const WriteShape& shape);

// The program ranges of a run, in the order they are written, from the
// working state the layout has prepared (image copied, patched, trimmed; in
// the bottom layout cut to start at the application). Top layout: everything
// below the last erase unit under the bootloader, then that unit with the
// entry code in its last bytes. Bottom: the application area in one range.
std::vector<StagedRange> StageProgramRanges(const TUploadState& up, const TBootInfo& info, bool skipBlank);
// The PIC32 boot flash image, padded to whole write blocks; empty when there is none.
StagedRange StageBootRange(const TUploadState& up, const TBootInfo& info, bool skipBlank);

// Erase requests for `blocks` erase units starting at `first`: uniform blocks
// of EraseBlock image bytes from image offset `first`, or (sectors = true) the
// family's sectors from index `first`. Each Erase command names the highest
// unit of ITS group, so a plan longer than one group continues upwards.
struct ErasePlan {
  std::int64_t first = 0;
  std::int32_t blocks = 0;
  bool sectors = false;
};
// Device address named by the Erase command of a group covering units
// [done, done + group) of the plan.
std::uint32_t EraseGroupAddress(const FamilyFacts& family, std::uint16_t eraseBlock, const ErasePlan& plan,
                                std::int32_t done, std::int32_t group);
// Image bytes of erase units [from, to) of the plan.
std::uint64_t EraseBytes(const FamilyFacts& family, std::uint16_t eraseBlock, const ErasePlan& plan,
                         std::int32_t from, std::int32_t to);

// Why a run is refused before anything is erased.
enum class Refusal {
  None,
  UnsafeGeometry,  // the information record describes flash that is not safe to upload to
  NothingToWrite,  // the images hold no byte for the device
};

// A question a run asks before it leaves out code the device has no room for.
enum class FitQuestion {
  OverBootloaderArea,  // top layout: program or boot flash image reaches into the bootloader
  OverProgramMemory,   // bottom layout: the program image exceeds program memory
  OverBootSpace,       // bottom layout: the boot flash image exceeds the boot space
};

// A whole run: what a run does, in order, and what `image` shows.
struct UploadPlan {
  Refusal refusal = Refusal::None;
  std::string problem;  // the refusal's history line; empty when there is none
  TFlashArea area;
  TImageData data = TImageData::None;
  // Asked in this order before anything is erased; a No ends the run. The
  // rest of the plan is what a run answered Yes writes.
  std::vector<FitQuestion> questions;
  bool trimmed = false;  // there is a question: the images overflow
  // Program memory, when `program` holds ranges: `erase`, then the ranges in
  // order. In the top layout the last unit below the bootloader is left out of
  // `erase`; it is erased on its own (at lastUnitAddress) before the last range.
  ErasePlan erase;
  std::uint32_t lastUnitAddress = 0;
  std::vector<StagedRange> program;
  // PIC32 boot flash: erased in one command of bootEraseBlocks blocks, then written.
  bool hasBoot = false;
  std::int32_t bootEraseBlocks = 0;
  StagedRange boot;
  std::uint64_t BytesToSend() const;
};

// Checks the record and the images, then prepares the images as the chosen
// layout must (entry jump patched in, overflow cut off as after a Yes, the
// bottom layout's image cut to the application) and plans the erase and every
// range. Runs and `image` both follow it, so they refuse with the same line.
UploadPlan PlanUpload(const TBootInfo& info, const TByteArray& flashImage, const TByteArray& bootImage,
                      bool skipBlank);

}  // namespace quorvel::upload
