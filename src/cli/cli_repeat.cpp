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

std::optional<BoardView> CliRunner::NextRepeatBoard(std::set<std::uint64_t>& done) const {
  const EngineStatus status = engine_->Status();
  if (status.deviceChangesHandled < 1 || status.busy) return std::nullopt;
  const auto candidates = Candidates();
  std::set<std::uint64_t> present;
  for (const BoardView& board : candidates) present.insert(board.instance);
  // A board that went away may come back: it is flashed again then.
  std::erase_if(done, [&](std::uint64_t instance) { return present.count(instance) == 0; });
  for (const BoardView& board : candidates) {
    if (done.count(board.instance) == 0) return board;
  }
  return std::nullopt;
}

int CliRunner::RepeatOnBoard(const BoardView& next, const QString& path) {
  // Discovery opens the board, sends it the information request and locks it.
  choice_.path = next.path;
  engine_->ChooseBoard(choice_);
  engine_->OpenChosenBoard();
  outcome_.reset();
  const EngineStatus opened = engine_->Status();
  const std::optional<BoardView>& active = opened.active;
  if (!active || active->instance != next.instance || active->path != next.path) {
    return Fail(ExitNoBootloader,
                opened.boardInUse.empty()
                    ? QStringLiteral("The bootloader %1 did not answer the information request.").arg(path) +
                          Unanswered()
                    : QStringLiteral("The bootloader %1 is in use by another program.").arg(path));
  }
  if (!active->readWrite) {
    return Fail(ExitNoBootloader, QStringLiteral("The bootloader %1 may not be opened for reading and writing "
                                                 "(permission denied).")
                                      .arg(path));
  }
  LogBoard();
  const int rc = UploadBoard();
  // A run aborted by a question is left connected, as the window leaves it;
  // the board is restarted as when the window closes, and the loop goes on.
  if (engine_->Status().connected) engine_->Close();
  return rc;
}

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

    const std::optional<BoardView> next = NextRepeatBoard(done);
    if (!next) {
      if (!waitingShown && engine_->Status().deviceChangesHandled >= 1) {
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
    const int rc = RepeatOnBoard(*next, board.path);
    board.exitCode = rc;
    board.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    if (outcome_) {
      board.title = outcome_->title;
      board.text = outcome_->text;
      if (rc == ExitSuccess) board.proof = outcome_->proof;
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
