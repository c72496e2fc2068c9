// SPDX-License-Identifier: Apache-2.0
#pragma once
// Steps shared by the two flash layouts and the block writers: address
// conversion, refusing a run before anything is erased, the erase loop and
// the progress bar's per-byte advance. Internal to the upload engine.
#include <QString>
#include <cstdint>

#include "engine/frontend.h"
#include "core/families.h"
#include "core/boot_info.h"
#include "protocol/frames.h"
#include "engine/outcomes.h"
#include "upload/run_state.h"

namespace quorvel {

class UploadRun;

namespace upload {

inline constexpr std::uint8_t kCmdWrite = quorvel::Write;
inline constexpr std::uint8_t kCmdErase = quorvel::Erase;

// Largest Write command: 32 KB of data.
inline constexpr std::int32_t kMaxWriteCommand = MaxWriteCount;
// Largest Erase command.
inline constexpr std::int32_t kMaxEraseGroup = MaxEraseCount;

// Command address of a program-memory image offset: the 16-bit PICs count
// two address units per three image bytes; PIC32 program flash starts at
// 0x1D000000.
std::uint32_t DeviceAddressOf(const FamilyFacts& family, std::int64_t imageOffset);

// Bytes per Write command in the program-memory writer: the largest multiple
// of WriteBlock that fits a command. 0 when WriteBlock is 0 or too large.
std::int32_t FlashCommandBytes(std::uint16_t writeBlock);

// Ends a run that was refused before anything was erased: one history line,
// controls back to idle, connection kept (like a stop, without its dialog).
// `why`: Refused or NothingToWrite.
void RefuseUpload(UploadRun& run, UploadResult why, const QString& line);

// After each wait of a run. An unacknowledged one ends the run: its error
// line, then the connection closed. Returns Ended, or GoesOn.
RunStep EndRunIfWaitFailed(UploadRun& run, TWaitResult result);

// Between commands: a stop asked for meanwhile ends the run (its dialog, the
// connection kept). Returns DeclinedOrStopped, or GoesOn.
RunStep EndRunIfStopped(UploadRun& run);

// Both checks, in that order: after an erase, and after a command's last chunk.
RunStep EndRunIfFailedOrStopped(UploadRun& run, TWaitResult result);

// Erase requests for `blocks` erase units starting at `first`: uniform blocks
// of EraseBlock image bytes from image offset `first`, or (sectors = true) the
// STM32F2/F4 sectors from index `first`. Each Erase command names the highest
// unit of ITS group, so a plan longer than one group continues upwards.
struct ErasePlan {
  std::int64_t first = 0;
  std::int32_t blocks = 0;
  bool sectors = false;
};
// Device address named by the Erase command of a group covering units
// [done, done + group) of the plan.
std::uint32_t EraseGroupAddress(const UploadRun& run, const ErasePlan& plan, std::int32_t done,
                                std::int32_t group);

// Runs the main erase: history line, progress maximum, button, EraseAnimation, then the
// Erase commands. Returns GoesOn, or DeclinedOrStopped / Ended after the run
// has been ended (AbortUpload / CloseConnection).
RunStep EraseProgramRange(UploadRun& run, const ErasePlan& plan);

// Stops the erase animation and fills the bar.
void FinishEraseProgress(UploadRun& run);

// Advances the progress bar by one step per staged byte while the upload flag
// is set; never beyond the maximum. One update per chunk keeps the front end's
// work per report constant.
void AdvanceProgress(UploadRun& run, std::int32_t bytes);

// Upload progress by phase, for the front end: BeginPhase reports 0 of
// `total`, AdvancePhase adds bytes done and reports them.
void BeginPhase(UploadRun& run, UploadPhase phase, std::uint64_t total);
void AdvancePhase(UploadRun& run, UploadPhase phase, std::uint64_t bytes);

// Sets the bar's maximum from a byte count, saturating at the int range.
void SetProgressMaxFor(UploadRun& run, std::int64_t value);

// Upper-case hexadecimal digits of an address, without prefix.
QString HexNumber(std::uint32_t value);

}  // namespace upload
}  // namespace quorvel
