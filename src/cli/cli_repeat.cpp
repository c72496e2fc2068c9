// SPDX-License-Identifier: Apache-2.0
// upload --repeat: a production loop on one engine. Board after board is
// flashed as it arrives; a board counts again only once it has left (its
// closing Reboot makes it vanish) and come back as a new interface.
#include <QElapsedTimer>
#include <set>

#include "engine/pelmo.h"
#include "cli/cli_all.h"
#include "cli/cli_runner.h"
#include "hid/hid_device.h"

namespace quorvel::cli {

namespace {

constexpr int kPollMs = 20;

}  // namespace

int CliRunner::Repeat() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  tally_ = Tally{};
  std::vector<int> codes;
  // Interfaces flashed (or tried) that are still attached.
  std::set<std::uint64_t> done;
  bool waitingShown = false;

  for (;;) {
    if (options_.count > 0 && tally_->succeeded + tally_->failed >= options_.count) break;
    if (interrupts_ > 0) break;  // between boards: the count so far is the result

    hid::THidDevice* next = nullptr;
    if (pelmo_->DeviceChangesHandled >= 1 && !pelmo_->Busy()) {
      const auto candidates = Candidates();
      std::set<std::uint64_t> present;
      for (hid::THidDevice* dev : candidates) present.insert(dev->PnPInfo().DeviceInstance);
      std::erase_if(done, [&](std::uint64_t instance) { return present.count(instance) == 0; });
      for (hid::THidDevice* dev : candidates) {
        if (done.count(dev->PnPInfo().DeviceInstance) == 0) {
          next = dev;
          break;
        }
      }
    }
    if (next == nullptr) {
      if (!waitingShown && pelmo_->DeviceChangesHandled >= 1) {
        ui_.Notice(QStringLiteral("Waiting for a bootloader (Ctrl-C ends the run)..."));
        waitingShown = true;
      }
      RunEventsFor(kPollMs);
      continue;
    }
    waitingShown = false;
    done.insert(next->PnPInfo().DeviceInstance);

    BoardOutcome board;
    board.path = PathOf(next);
    board.serial = QString::fromStdU16String(next->SerialString());
    QElapsedTimer clock;
    clock.start();
    // Discovery opens the board, sends it the information request and locks it.
    pelmo_->PreferredPath = next->PnPInfo().InterfacePath;
    if (pelmo_->ActiveDevice != next) {
      pelmo_->Guarded([this] { pelmo_->OpenBootloaderDevice(text::kBootloaderProductName); });
    }
    outcome_.reset();
    int rc = ExitSuccess;
    hid::THidDevice* active = pelmo_->ActiveDevice;
    if (active != next) {
      rc = Fail(
          ExitNoBootloader,
          pelmo_->BoardInUse.empty()
              ? QStringLiteral("The bootloader %1 did not answer the information request.").arg(board.path) +
                    Unanswered()
              : QStringLiteral("The bootloader %1 is in use by another program.").arg(board.path));
    } else if (!active->ReadWriteAccess()) {
      rc =
          Fail(ExitNoBootloader, QStringLiteral("The bootloader %1 may not be opened for reading and writing "
                                                "(permission denied).")
                                     .arg(board.path));
    } else {
      LogBoard();
      rc = UploadBoard();
      // A run aborted by a question is left connected, as the window leaves it;
      // the board is restarted as when the window closes, and the loop goes on.
      if (pelmo_->Connected) pelmo_->Guarded([this] { pelmo_->FormClose(); });
    }
    board.exitCode = rc;
    board.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    if (outcome_) {
      board.title = outcome_->title;
      board.text = outcome_->text;
    }
    ui_.BoardResult(board);
    codes.push_back(rc);
    if (rc == ExitSuccess) {
      ++tally_->succeeded;
    } else {
      ++tally_->failed;
    }
    // A signal during the upload stopped this board: the run ends with it.
    if (rc == ExitAborted && interrupts_ > 0) break;
    if (options_.count > 0 && tally_->succeeded + tally_->failed >= options_.count) break;
    ui_.Notice(QStringLiteral("%1 so far.").arg(SummaryText(tally_->succeeded, tally_->failed)));
  }
  outcome_.reset();
  return CombinedExit(codes);
}

}  // namespace quorvel::cli
