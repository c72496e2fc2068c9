// SPDX-License-Identifier: Apache-2.0
#pragma once
// CliRunner: carries out one quorvel-cli command on the engine the window
// uses, on the machine's HID devices or on simulated bootloaders.
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/outcomes.h"
#include "cli/cli_frontend.h"
#include "cli/cli_options.h"

namespace quorvel {
namespace hid {
class HidPlatform;
}  // namespace hid
namespace sim {
class SimHidPlatform;
}
namespace io {
class OutputFile;
}
namespace assembly {
class ProgramPlatform;
}
}  // namespace quorvel

namespace quorvel::cli {

class CliLog;
class OneBoardPlatform;

class CliRunner {
 public:
  CliRunner(CliOptions options, CliFrontend& ui);
  ~CliRunner();
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  // Runs the command and returns the exit code. Needs a QCoreApplication.
  int Run();

  // Runs on `platform` instead of the machine's HID devices when no
  // --simulate is given (tests: devices the simulator options cannot describe).
  void UsePlatform(std::unique_ptr<hid::HidPlatform> platform);

  // Ctrl-C, SIGTERM or SIGHUP. The first asks a running upload to stop after
  // its current block, as the window's "Stop uploading" does, and ends any
  // other command at its next step; from the second on, the device's answers
  // are no longer awaited. Either way a connected device is restarted and the
  // run ends with ExitAborted.
  void Interrupt();

 private:
  int RunCommand();
  int List();
  int Info();
  int Upload();
  int Image();
  // upload --repeat (cli_repeat.cpp): boards one after another, each once
  // while it stays attached.
  int Repeat();
  // The next attached bootloader not yet in `done` (from which boards gone meanwhile are dropped).
  std::optional<BoardView> NextRepeatBoard(std::set<std::uint64_t>& done) const;
  // Opens `next` (shown as `path`) and uploads to it; the board's exit code.
  int RepeatOnBoard(const BoardView& next, const QString& path);
  // Loads the file for the chosen board and uploads it; the run's result.
  int UploadBoard();

  int CheckHexFile();
  int ReadStandardInput();
  // How messages name the file: its name as given, or "standard input" for '-'.
  QString FileLabel() const;
  int CheckFileNames();
  int PrepareTrace();
  int OpenLog();
  // The chosen board's identity in the --log file.
  void LogBoard();
  int StartEngine();
  int WaitForBootloader(bool mustFind);
  // The start-up scan, then --wait for the chosen bootloader to answer (or
  // until waiting cannot settle which one it is).
  int WaitForBoards();
  // Fails, saying why, unless exactly the chosen bootloader answered and may be used.
  int CheckChosenBootloader();
  int LoadHex();
  void ShutDown();
  void StreamTrace();
  void FinishTrace();
  int WriteImages();
  // The exit code of an upload's outcome, with the result's texts.
  int UploadExit(const UploadOutcome& outcome);

  std::vector<BoardView> Bootloaders() const;
  static QString Label(const BoardView& board);
  // The path `list` shows and --device takes: the node, or sim:N for the
  // N-th --simulate device.
  QString PathOf(const BoardView& board) const;
  // "sim:1  USB HID Bootloader (Serial=A)", "(no serial)" when it has none.
  QString CandidateText(const BoardView& board) const;
  // Whether --device and --serial allow the bootloader.
  bool Matches(const BoardView& board) const;
  std::vector<BoardView> Candidates() const;
  void ExplainNoBootloader();
  void ListDevices();

  int Fail(int exitCode, const QString& text);
  int Succeed(const QString& title, const QString& text);
  // ExitAborted once an interrupt came; the run then ends at the next step.
  int Interrupted();
  // What to add to a message saying the bootloader did not answer: a line
  // of advice when its last wait ran out of time, else nothing.
  QString Unanswered() const;
  void RunEventsFor(int ms);

  CliOptions options_;
  CliFrontend& ui_;
  std::unique_ptr<hid::HidPlatform> injected_;
  std::unique_ptr<assembly::ProgramPlatform> program_;
  std::unique_ptr<OneBoardPlatform> oneBoard_;  // --device-only: the engine's view of the platform
  sim::SimHidPlatform* sim_ = nullptr;  // the platform when simulating
  int deviceSimIndex_ = -1;  // --device sim:N: N - 1
  std::unique_ptr<CliLog> log_;
  std::unique_ptr<Engine> engine_;
  BoardChoice choice_;  // --serial and --device, as the engine takes them
  struct Outcome {
    QString title;
    QString text;
    std::optional<ResultProof> proof{};  // given with a success
  };
  std::optional<Outcome> outcome_;  // the result's texts, given at the end of Run
  // --repeat: the boards' count, given at the end of Run instead of a result.
  struct Tally {
    int succeeded = 0;
    int failed = 0;
  };
  std::optional<Tally> tally_;
  bool uploading_ = false;
  int interrupts_ = 0;
  bool waitsAbandoned_ = false;
  // --trace: written while the run goes on, committed when it ends.
  std::unique_ptr<io::OutputFile> trace_;
  std::unique_ptr<QTimer> traceTimer_;
  std::size_t traceLines_ = 0;
  QString traceError_;
  std::string standardInput_;  // the file when it is '-', read once before any device is looked for
};

}  // namespace quorvel::cli
