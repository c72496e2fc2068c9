// SPDX-License-Identifier: Apache-2.0
// upload --repeat: a production loop on one engine. Board after board is
// flashed as it arrives; a board counts again only once it has left (its
// closing Reboot makes it vanish) and come back as a new interface.
#include <QElapsedTimer>
#include <optional>
#include <set>

#include "cli/cli_all.h"
#include "cli/cli_runner.h"

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

    std::optional<BoardView> next;
    const EngineStatus status = engine_->Status();
    if (status.deviceChangesHandled >= 1 && !status.busy) {
      const auto candidates = Candidates();
      std::set<std::uint64_t> present;
      for (const BoardView& board : candidates) present.insert(board.instance);
      std::erase_if(done, [&](std::uint64_t instance) { return present.count(instance) == 0; });
      for (const BoardView& board : candidates) {
        if (done.count(board.instance) == 0) {
          next = board;
          break;
        }
      }
    }
    if (!next) {
      if (!waitingShown && status.deviceChangesHandled >= 1) {
        ui_.Notice(QStringLiteral("Waiting for a bootloader (Ctrl-C ends the run)..."));
        waitingShown = true;
      }
      RunEventsFor(kPollMs);
      continue;
    }
    waitingShown = false;
    done.insert(next->instance);

    BoardOutcome board;
    board.path = PathOf(*next);
    board.serial = QString::fromStdU16String(next->serial);
    QElapsedTimer clock;
    clock.start();
    // Discovery opens the board, sends it the information request and locks it.
    choice_.path = next->path;
    engine_->ChooseBoard(choice_);
    engine_->OpenChosenBoard();
    outcome_.reset();
    int rc = ExitSuccess;
    const EngineStatus opened = engine_->Status();
    const std::optional<BoardView>& active = opened.active;
    if (!active || active->instance != next->instance || active->path != next->path) {
      rc = Fail(
          ExitNoBootloader,
          opened.boardInUse.empty()
              ? QStringLiteral("The bootloader %1 did not answer the information request.").arg(board.path) +
                    Unanswered()
              : QStringLiteral("The bootloader %1 is in use by another program.").arg(board.path));
    } else if (!active->readWrite) {
      rc =
          Fail(ExitNoBootloader, QStringLiteral("The bootloader %1 may not be opened for reading and writing "
                                                "(permission denied).")
                                     .arg(board.path));
    } else {
      LogBoard();
      rc = UploadBoard();
      // A run aborted by a question is left connected, as the window leaves it;
      // the board is restarted as when the window closes, and the loop goes on.
      if (engine_->Status().connected) engine_->Close();
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
