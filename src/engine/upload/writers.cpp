// The block writer for program memory and the PIC32 boot-flash writer. Both
// stream data chunks of one erase block (the length of TransferBuffer), each
// acknowledged by the device before the next is staged.
#include <algorithm>
#include <stdexcept>

#include "engine/pelmo.h"
#include "image/mcu_family.h"
#include "upload/geometry.h"
#include "upload/relocation.h"
#include "engine/upload/upload_steps.h"

namespace quorvel {

using namespace upload;

namespace {

// Stages up to one chunk of `source` from index `from` into the transfer
// buffer. Only indexes inside the source are copied, whatever `from` is;
// everything else goes out as erased flash (0xFF).
std::int32_t StageChunk(TByteArray& buffer, const TByteArray& source, std::int64_t from, std::int64_t limit) {
  const auto count =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(limit, 0, static_cast<std::int64_t>(buffer.size())));
  std::fill(buffer.begin(), buffer.begin() + count, std::uint8_t{0xFF});
  const std::int64_t begin = std::max<std::int64_t>(from, 0);
  const std::int64_t end = std::min<std::int64_t>(from + count, static_cast<std::int64_t>(source.size()));
  if (begin < end) {
    std::copy(source.begin() + begin, source.begin() + end, buffer.begin() + (begin - from));
  }
  return count;
}

}  // namespace

RunStep TPelmo::WriteFlashRange(const TByteArray& source, int sourceIndex, std::uint32_t deviceAddress,
                                int count) {
  const std::uint8_t type = BootInfo.McuType;
  const std::int32_t commandMax = FlashCommandBytes(BootInfo.WriteBlock);
  if (count <= 0) return RunStep::GoesOn;
  if (commandMax <= 0 || TransferBuffer.empty() || Upload.Area.family == nullptr) {
    // The run's geometry check rules this out; a call without it must not loop or guess.
    throw std::logic_error("block writer started without a checked geometry");
  }

  // The chunk that carries the bootloader's entry code: the first one of the
  // application in the bottom layout, the last one below the bootloader in the top layout.
  const std::uint32_t stubAddress =
      BootAtBottom(BootInfo) ? Upload.BaseAddress
                             : DeviceAddressOf(*Upload.Area.family, Upload.Area.appEnd - BootInfo.EraseBlock);

  std::int64_t index = sourceIndex;
  std::int64_t remaining = count;
  while (remaining > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(commandMax, remaining));
    remaining -= n;
    SendWrite(deviceAddress, static_cast<std::uint16_t>(n));

    std::int32_t sent = 0;
    while (sent < n) {
      const std::int32_t j = StageChunk(TransferBuffer, source, index + sent, n - sent);
      sent += j;
      AdvanceProgress(*this, j);
      if (deviceAddress == stubAddress) PlaceTrampoline(Upload, BootInfo, TransferBuffer);
      WriteTransfer(TransferBuffer, j);
      Upload.WaitResult = WaitResponse(kCmdWrite, 1000);
      if (!IsPic32(type) && !ButtonStartBootloader.Enabled) SetEnabled(ButtonId::StartBootloader, true);
      if (EndRunIfWaitFailed(*this, Upload.WaitResult) != RunStep::GoesOn) return RunStep::Ended;
      deviceAddress += Is16BitPic(type) ? static_cast<std::uint32_t>(j / 3 * 2) : static_cast<std::uint32_t>(j);
    }
    // A command announced to the device is always completed; a stop takes
    // effect between commands.
    if (const RunStep step = EndRunIfStopped(*this); step != RunStep::GoesOn) return step;
    index += n;
  }
  return RunStep::GoesOn;
}

void TPelmo::WriteBootFlash() {
  TUploadState& up = Upload;
  if (up.BootImageCopy.empty()) return;
  const std::int32_t erase = BootInfo.EraseBlock;
  const std::int32_t write = BootInfo.WriteBlock;
  if (erase <= 0 || write <= 0 || write >= kMaxWriteCommand || TransferBuffer.empty()) {
    throw std::logic_error("boot-flash writer started without a checked geometry");
  }

  const auto length = static_cast<std::int64_t>(up.BootImageCopy.size());
  up.BlocksLeft = static_cast<std::int32_t>((length + erase - 1) / erase);
  AppendHistory(text::kBootErase);
  SetEnabled(ButtonId::StartBootloader, false);

  up.BlockGroup = up.BlocksLeft;
  up.BlocksLeft = 0;
  SendErase(up.BootBaseAddress + static_cast<std::uint32_t>((up.BlockGroup - 1) * erase),
            static_cast<std::uint16_t>(up.BlockGroup));
  up.WaitResult = WaitResponse(kCmdErase, up.BlockGroup * 100);
  if (EndRunIfFailedOrStopped(*this, up.WaitResult) != RunStep::GoesOn) return;

  up.CurrentAddress = up.BootBaseAddress;
  up.ByteCount = static_cast<std::int32_t>((length + write - 1) / write * write);
  SetProgressMaxFor(*this, static_cast<std::int64_t>(up.ByteCount) * 7);
  SetProgressPosition(0);
  AppendHistory(text::kBootWrite);

  up.StartIndex = 0;
  const std::int32_t commandMax = kMaxWriteCommand - write;
  while (up.ByteCount > 0) {
    up.ChunkBytes = std::min(up.ByteCount, commandMax);
    up.ByteCount -= up.ChunkBytes;
    SendWrite(up.CurrentAddress, static_cast<std::uint16_t>(up.ChunkBytes));
    up.ChunkDone = 0;
    while (up.ChunkDone < up.ChunkBytes) {
      up.BufferIndex = StageChunk(TransferBuffer, up.BootImageCopy, up.StartIndex + up.ChunkDone,
                                  up.ChunkBytes - up.ChunkDone);
      up.ChunkDone += up.BufferIndex;
      AdvanceProgress(*this, up.BufferIndex);
      WriteTransfer(TransferBuffer, up.BufferIndex);
      up.WaitResult = WaitResponse(kCmdWrite, 1000);
      if (!ButtonStartBootloader.Enabled) SetEnabled(ButtonId::StartBootloader, true);
      if (EndRunIfWaitFailed(*this, up.WaitResult) != RunStep::GoesOn) return;
    }
    if (EndRunIfStopped(*this) != RunStep::GoesOn) return;
    up.CurrentAddress += static_cast<std::uint32_t>(up.ChunkBytes);
    up.StartIndex += up.ChunkBytes;
  }
}

}  // namespace quorvel
