// SPDX-License-Identifier: Apache-2.0
#pragma once
// Steps shared by the run of the write plan and the block writers: refusing
// a run before anything is erased, the checks after each wait, the erase loop
// and the progress. Internal to the upload engine.
#include <QString>
#include <cstdint>

#include "engine/frontend.h"
#include "core/families.h"
#include "core/boot_info.h"
#include "protocol/frames.h"
#include "engine/outcomes.h"
#include "upload/run_state.h"
#include "upload/write_plan.h"

namespace quorvel {

class UploadRun;

namespace upload {

inline constexpr std::uint8_t kCmdWrite = quorvel::Write;
inline constexpr std::uint8_t kCmdErase = quorvel::Erase;

// Largest Write command: 32 KB of data.
inline constexpr std::int32_t kMaxWriteCommand = MaxWriteCount;
// Largest Erase command.
inline constexpr std::int32_t kMaxEraseGroup = MaxEraseCount;

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

}  // namespace upload
}  // namespace quorvel
