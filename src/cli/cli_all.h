// SPDX-License-Identifier: Apache-2.0
#pragma once
// upload --all: every attached bootloader flashed at once, one quorvel-cli
// child process per board. The engine's waits nest event loops, so one engine
// per board in one process would serialise the boards; a process per board
// keeps them apart and lets each end (or be stopped) on its own.
//
// The parent lists the boards without talking to them, starts each child as
// `quorvel-cli --json --device PATH ... upload FILE`, reads the children's
// events, passes signals on, and sums the outcome up.
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/cli_options.h"
#include "cli/command.h"

namespace quorvel::hid {
class HidPlatform;
}

namespace quorvel::cli {

class CliLog;
struct Refusal;

// The exit code of a run over several boards: 0 when all succeeded, else the
// first of 4, 2, 3, 5, 6, 1 that any board ended with (then any other).
int CombinedExit(const std::vector<int>& codes);

// `jsonLine` (one object) with "path" put in front of its keys.
std::string WithPath(std::string_view jsonLine, std::string_view path);

// What a child is started with for the board at `path`.
QStringList ChildArguments(const CliOptions& options, const QString& path);

struct ListedBoard {
  QString path;              // as `list` shows it
  QString serial;
};

// The bootloaders the platform lists now, in scan order. Only the product
// string, serial and report sizes are read; nothing is sent to a board.
// `shownPath` turns a platform path into the one `list` shows.
std::vector<ListedBoard> ListBootloaders(hid::HidPlatform& platform,
                                         const std::function<QString(const std::string&)>& shownPath);

class AllBoardsRun final : public Command {
 public:
  static const CommandDeclaration kDeclaration;

  AllBoardsRun(CliOptions options, CliFrontend& ui);
  ~AllBoardsRun() override;
  AllBoardsRun(const AllBoardsRun&) = delete;
  AllBoardsRun& operator=(const AllBoardsRun&) = delete;

  // Runs the whole upload and returns the exit code. Needs a QCoreApplication.
  int Run() override;
  // Tests: a smaller cap on standard input than the upload's 1 GiB.
  void UseInputLimit(std::uint64_t bytes) { inputLimit_ = bytes; }
  // Ctrl-C, SIGTERM, SIGHUP: passed on to every child still running, which
  // stops as a single upload does; before the children start, none is.
  void Interrupt(int signo) override;

 private:
  struct Child {
    ListedBoard board;
    std::unique_ptr<QProcess> process;
    QElapsedTimer clock;
    QByteArray pending;  // a line not yet complete
    QByteArray pendingErr;
    bool resultSeen = false;
    BoardOutcome outcome;
    bool finished = false;
  };

  static std::string CheckOptions(const CliOptions& options, const OptionsSeen& seen);
  int Prepare(std::vector<ListedBoard>& boards);
  int KeepStandardInput();
  int Fail(int exitCode, const QString& text);
  int Fail(const Refusal& refusal);
  void Start(Child& child);
  void ReadOutput(Child& child, bool flush);
  void ReadErrors(Child& child, bool flush);
  void HandleLine(Child& child, const QByteArray& line);
  void Finished(Child& child, int exitCode, QProcess::ExitStatus status);

  CliOptions options_;
  CliFrontend& ui_;
  std::unique_ptr<CliLog> log_;
  // FILE '-': standard input, held once in memory for every child (-1: not read).
  int inputFd_ = -1;
  std::uint64_t inputLimit_;  // the most standard input may hold
  std::vector<std::unique_ptr<Child>> children_;
  int interrupts_ = 0;
  int running_ = 0;
};

}  // namespace quorvel::cli
