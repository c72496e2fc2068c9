// SPDX-License-Identifier: Apache-2.0
#pragma once
// CliRunner: what the commands that run on the engine the window uses share,
// on the machine's HID devices or on simulated bootloaders.
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
#include "cli/command.h"
#include "cli/preflight.h"

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

// The base of the commands that run on one engine (list, info, upload,
// image, upload --repeat): the shared preflight (files, log, --simulate,
// platform), the choice of the bootloader, and the end of every run.
class CliRunner : public Command {
 public:
  CliRunner(CliOptions options, CliFrontend& ui);
  ~CliRunner() override;
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  // Runs the command and returns the exit code. Needs a QCoreApplication.
  int Run() override;

  // Runs on `platform` instead of the machine's HID devices when no
  // --simulate is given (tests: devices the simulator options cannot describe).
  void UsePlatform(std::unique_ptr<hid::HidPlatform> platform);

  // Ctrl-C, SIGTERM or SIGHUP. The first asks a running upload to stop after
  // its current block, as the window's "Stop uploading" does, and ends any
  // other command at its next step; from the second on, the device's answers
  // are no longer awaited. Either way a connected device is restarted and the
  // run ends with ExitAborted.
  void Interrupt(int signo) override;

 protected:
  // The command itself, between the preflight it asks for and the end of the run.
  virtual int RunCommand() = 0;

  // --- preflight ---
  int CheckHexFile();
  // Checks the files, opens the log, reads --simulate and starts the engine on the platform.
  int StartEngine();
  int WaitForBootloader(bool mustFind);

  // --- steps of the commands ---
  // How messages name the file: its name as given, or "standard input" for '-'.
  QString FileLabel() const;
  // The chosen board's identity in the --log file.
  void LogBoard();
  int LoadHex();
  // Loads the file for the chosen board and uploads it; the run's result.
  int UploadBoard();
  std::vector<BoardView> Bootloaders() const;
  static QString Label(const BoardView& board);
  // The path `list` shows and --device takes: the node, or sim:N for the
  // N-th --simulate device.
  QString PathOf(const BoardView& board) const;
  std::vector<BoardView> Candidates() const;
  void ExplainNoBootloader();

  int Fail(int exitCode, const QString& text);
  int Fail(const Refusal& refusal);
  int Succeed(const QString& title, const QString& text);
  // ExitAborted once an interrupt came; the run then ends at the next step.
  int Interrupted();
  // How many interrupts came.
  int Interrupts() const { return interrupts_; }
  // What to add to a message saying the bootloader did not answer: a line
  // of advice when its last wait ran out of time, else nothing.
  QString Unanswered() const;
  void RunEventsFor(int ms);

  const CliOptions& Options() const { return options_; }
  CliFrontend& Ui() { return ui_; }
  Engine& TheEngine() { return *engine_; }
  // The run's board choice (--serial, --device), as the engine takes it.
  BoardChoice& Choice() { return choice_; }

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

 private:
  int ReadStandardInput();
  int PrepareTrace();
  int OpenLog();
  // The start-up scan, then --wait for the chosen bootloader to answer (or
  // until waiting cannot settle which one it is).
  int WaitForBoards();
  // Fails, saying why, unless exactly the chosen bootloader answered and may be used.
  int CheckChosenBootloader();
  void ShutDown();
  void StreamTrace();
  void FinishTrace();
  // The exit code of an upload's outcome, with the result's texts.
  int UploadExit(const UploadOutcome& outcome);
  // "sim:1  USB HID Bootloader (Serial=A)", "(no serial)" when it has none.
  QString CandidateText(const BoardView& board) const;
  // Whether --device and --serial allow the bootloader.
  bool Matches(const BoardView& board) const;

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
