// SPDX-License-Identifier: Apache-2.0
#include "upload/relocation.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/families.h"

namespace quorvel {

namespace {

constexpr std::size_t kPic32StubBytes = 16;
// The jumps written here are the entry code the family table sizes.
constexpr bool Pic32StubIs(std::size_t bytes) {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.code == mcu::PIC32) return f.entryStubBytes == bytes;
  }
  return false;
}
static_assert(Pic32StubIs(kPic32StubBytes));
// With a recognised start-up word the jump goes after the boot image's 64-byte start-up block.
constexpr std::size_t kPic32PatchAfterStartup = 64;

// Enters the start-up code at 0xBFC00050: lui $30, 0xBFC0; ori $30, $30, 0x0050; jr $30; ssnop.
constexpr std::array<std::uint8_t, kPic32StubBytes> kPic32StartupEntry = {
    0xC0, 0xBF, 0x1E, 0x3C, 0x50, 0x00, 0xDE, 0x37, 0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};

std::uint32_t Word(const TByteArray& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Thumb-2 MOVW/MOVT r0, #v: imm16 spread over i:imm4 in the first halfword and imm3:imm8 in the second.
void PutMovImmediate(std::uint8_t* out, std::uint16_t base, std::uint32_t v) {
  const std::uint32_t first = base + ((v >> 11) & 1u) * 0x400u + ((v >> 12) & 0xFu);
  const std::uint32_t second = ((v >> 8) & 7u) * 0x1000u + (v & 0xFFu);
  out[0] = static_cast<std::uint8_t>(first);
  out[1] = static_cast<std::uint8_t>(first >> 8);
  out[2] = static_cast<std::uint8_t>(second);
  out[3] = static_cast<std::uint8_t>(second >> 8);
}

void BuildArmStub(const TByteArray& image, TByteArray& stub) {
  constexpr std::uint16_t kMovw = 0xF240;
  constexpr std::uint16_t kMovt = 0xF2C0;
  const std::uint32_t stack = Word(image, 0);
  const std::uint32_t reset = Word(image, 4);
  PutMovImmediate(&stub[0], kMovw, stack & 0xFFFFu);
  PutMovImmediate(&stub[4], kMovt, stack >> 16);
  stub[8] = 0x85;  // mov sp, r0
  stub[9] = 0x46;
  PutMovImmediate(&stub[10], kMovw, reset & 0xFFFFu);
  PutMovImmediate(&stub[14], kMovt, reset >> 16);
  stub[18] = 0x00;  // bx r0
  stub[19] = 0x47;
}

void PatchPic18(TByteArray& image, std::uint32_t bootLimit) {
  const std::uint32_t k = bootLimit >> 1;  // word address of the bootloader
  image[0] = static_cast<std::uint8_t>(k);
  image[1] = 0xEF;
  image[2] = static_cast<std::uint8_t>(k >> 8);
  image[3] = static_cast<std::uint8_t>(0xF0u | ((k >> 16) & 0x0Fu));
}

void PatchPic24(TByteArray& image, std::uint32_t bootLimit) {
  const std::uint32_t d = (bootLimit / 3u) * 2u;  // program address of the bootloader
  image[0] = static_cast<std::uint8_t>(d);
  image[1] = static_cast<std::uint8_t>(d >> 8);
  image[2] = 0x04;
  image[3] = static_cast<std::uint8_t>(d >> 16);
  image[4] = 0x00;
  image[5] = 0x00;
}

void PatchPic32(TByteArray& bootImage, std::size_t at, std::uint32_t bootStart) {
  // The device's own (virtual) BootStart: lui $30, hi; ori $30, lo; jr $30; ssnop.
  const std::uint8_t patch[kPic32StubBytes] = {
      static_cast<std::uint8_t>(bootStart >> 16), static_cast<std::uint8_t>(bootStart >> 24), 0x1E, 0x3C,
      static_cast<std::uint8_t>(bootStart), static_cast<std::uint8_t>(bootStart >> 8), 0xDE, 0x37,
      0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};
  if (bootImage.size() < at + kPic32StubBytes) bootImage.resize(at + kPic32StubBytes, 0xFF);
  std::copy(std::begin(patch), std::end(patch), bootImage.begin() + static_cast<std::ptrdiff_t>(at));
}

void PatchArm(TByteArray& image, std::uint32_t bootLimit) {
  // Thumb entry: bit 0 set. Only the low byte is incremented; a bootloader starts on an even address.
  image[4] = static_cast<std::uint8_t>((bootLimit & 0xFFu) + 1u);
  image[5] = static_cast<std::uint8_t>(bootLimit >> 8);
  image[6] = static_cast<std::uint8_t>(bootLimit >> 16);
  image[7] = static_cast<std::uint8_t>(bootLimit >> 24);
}

}  // namespace

void BuildResetTrampoline(TUploadState& state, const TBootInfo& info) {
  const FamilyFacts* family = FindFamily(info.McuType);
  const EntryCode entry = family != nullptr ? family->entry : EntryCode::None;
  const std::size_t length = family != nullptr ? family->entryStubBytes : 0;
  state.EntryStub.assign(length, 0);
  if (length == 0) return;

  // The PIC32 bootloader enters the application through the boot flash.
  TByteArray& source = entry == EntryCode::Pic32 ? state.BootImageCopy : state.ImageCopy;
  if (source.size() < length) return;

  std::size_t pic32PatchAt = 0;
  if (entry == EntryCode::Pic32) {
    const std::uint32_t first = Word(source, 0);
    state.StartupRecognised = first == 0x27BDFFFCu || first == 0x70000000u;
    if (state.StartupRecognised) {
      std::copy(kPic32StartupEntry.begin(), kPic32StartupEntry.end(), state.EntryStub.begin());
      pic32PatchAt = kPic32PatchAfterStartup;
    } else {
      std::copy_n(source.begin(), length, state.EntryStub.begin());
    }
  } else if (entry == EntryCode::Thumb) {
    BuildArmStub(source, state.EntryStub);
  } else {
    std::copy_n(source.begin(), length, state.EntryStub.begin());
  }

  if (BootAtBottom(info)) return;

  switch (entry) {
    case EntryCode::Pic18:
      PatchPic18(source, state.BootLimit);
      break;
    case EntryCode::Pic24:
      PatchPic24(source, state.BootLimit);
      break;
    case EntryCode::Pic32:
      // A short boot image is padded with erased bytes so that the jump lands whole.
      PatchPic32(source, pic32PatchAt, static_cast<std::uint32_t>(info.BootStart));
      break;
    case EntryCode::Thumb:
      PatchArm(source, state.BootLimit);
      break;
    case EntryCode::None:
      break;
  }
}

void PlaceTrampoline(const TUploadState& state, const TBootInfo& info, TByteArray& transferBuffer) {
  const std::size_t length = state.EntryStub.size();
  if (length == 0 || length > transferBuffer.size()) return;
  const std::size_t at = BootAtBottom(info) ? 0 : transferBuffer.size() - length;
  std::copy(state.EntryStub.begin(), state.EntryStub.end(), transferBuffer.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace quorvel
