// SPDX-License-Identifier: Apache-2.0
// upload --repeat: a production loop on one engine. Board after board is
// flashed as it arrives; a board counts again only once it has left (its
// closing Reboot makes it vanish) and come back as a new interface.
#include <QElapsedTimer>
#include <optional>
#include <set>

#include "cli/cli_all.h"
#include "cli/engine_commands.h"

namespace quorvel::cli {

namespace {

constexpr int kPollMs = 20;

}  // namespace

const CommandDeclaration RepeatCommand::kDeclaration{
    .name = "upload",
    .command = CliCommand::Upload,
    .repeat = true,
    .takesFile = true,
    .accepts = kOptBase | kOptFormat | kOptSkipBlank | kOptRepeat | kOptCount,
};

std::optional<BoardView> RepeatCommand::NextBoard(std::set<std::uint64_t>& done) {
  const EngineStatus status = TheEngine().Status();
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

int RepeatCommand::RunOnBoard(const BoardView& next, const QString& path) {
  // Discovery opens the board, sends it the information request and locks it.
  Choice().path = next.path;
  TheEngine().ChooseBoard(Choice());
  TheEngine().OpenChosenBoard();
  outcome_.reset();
  const EngineStatus opened = TheEngine().Status();
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
  if (TheEngine().Status().connected) TheEngine().Close();
  return rc;
}

int RepeatCommand::RunCommand() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  tally_ = Tally{};
  std::vector<int> codes;
  // Interfaces flashed (or tried) that are still attached.
  std::set<std::uint64_t> done;
  bool waitingShown = false;

  for (;;) {
    if (Options().count > 0 && tally_->succeeded + tally_->failed >= Options().count) break;
    if (Interrupts() > 0) break;  // between boards: the count so far is the result

    const std::optional<BoardView> next = NextBoard(done);
    if (!next) {
      if (!waitingShown && TheEngine().Status().deviceChangesHandled >= 1) {
        Ui().Notice(QStringLiteral("Waiting for a bootloader (Ctrl-C ends the run)..."));
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
    const int rc = RunOnBoard(*next, board.path);
    board.exitCode = rc;
    board.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    if (outcome_) {
      board.title = outcome_->title;
      board.text = outcome_->text;
      if (rc == ExitSuccess) board.proof = outcome_->proof;
    }
    Ui().BoardResult(board);
    codes.push_back(rc);
    if (rc == ExitSuccess) {
      ++tally_->succeeded;
    } else {
      ++tally_->failed;
    }
    // A signal during the upload stopped this board: the run ends with it.
    if (rc == ExitAborted && Interrupts() > 0) break;
    if (Options().count > 0 && tally_->succeeded + tally_->failed >= Options().count) break;
    Ui().Notice(QStringLiteral("%1 so far.").arg(SummaryText(tally_->succeeded, tally_->failed)));
  }
  outcome_.reset();
  return CombinedExit(codes);
}

}  // namespace quorvel::cli
