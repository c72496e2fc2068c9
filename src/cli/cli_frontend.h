// SPDX-License-Identifier: Apache-2.0
#pragma once
// CliFrontend: the engine's front end on a terminal or in a script. History
// lines go to standard output exactly as the window appends them; questions
// are answered from the command line (never from standard input); dialogs,
// message boxes and the CLI's own remarks go to standard error in plain
// words. With --json every event is one JSON object per line on standard
// output instead.
#include <QString>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/frontend.h"
#include "cli/json_line.h"
#include "cli/output_sinks.h"

namespace quorvel::cli {

// What an upload wrote (or, for `image`, would write), given with the result.
struct ResultProof {
  QString line;  // the plain-text result line
  std::uint64_t bytes = 0;
  std::string sha256;
  std::string bootSha256;  // empty: no boot image
};

class CliLog;

struct CliOutputConfig {
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  bool yes = false;          // answer to every question
  bool progressBar = false;  // draw a bar on `err` (only sensible on a terminal)
};

struct BoardOutcome {
  QString path;
  QString serial;  // empty: none
  int exitCode = 0;
  QString title;
  QString text;
  double seconds = 0;
  std::optional<ResultProof> proof;  // what a board that succeeded was written
};

// "sim:1 (Serial=A): succeeded in 2.31 s, wrote N bytes, program SHA-256 H",
// "... failed (exit 4) in 1.02 s".
QString BoardResultLine(const BoardOutcome& board);
// "2 succeeded, 1 failed".
QString SummaryText(int succeeded, int failed);

class CliFrontend : public Frontend {
 public:
  CliFrontend(CliOutputConfig config, std::FILE* out, std::FILE* err);
  ~CliFrontend() override;
  CliFrontend(const CliFrontend&) = delete;
  CliFrontend& operator=(const CliFrontend&) = delete;

  const CliOutputConfig& Config() const { return config_; }
  // --log: everything the run says also goes there, whatever --quiet says; may be null.
  void SetLog(CliLog* log) { log_ = log; }
  CliLog* Log() const { return log_; }
  // A board's upload begins: its progress starts afresh (--repeat runs several).
  void BeginUpload();

  // --- Frontend ---
  void HistoryAppended(const QString& line) override;
  void UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) override;
  void ErrorAppended(const QString& line) override;
  bool AskYesNo(const QString& text) override;
  void ShowMessage(MessageKind kind, const QString& title, const QString& text) override;
  void ShowTaskDialog(const TTaskDialogTexts& texts) override;

  // --- the command line's own output ---
  // A failure explained to the user (plain: standard error; JSON: an "error" event).
  void Error(const QString& text);
  // A remark worth showing unless --quiet (plain: standard error).
  void Notice(const QString& text);
  // Data of the file that the device does not keep and no upload writes: a remark like Notice
  // (plain: standard error); JSON: a "dropped" event with the byte count and the lowest address.
  void Dropped(const QString& text, std::uint64_t bytes, std::uint32_t firstAddress);
  // Shown only with --verbose.
  void Detail(const QString& text);
  // A line of a command's own result (list, info) on standard output; plain mode only.
  void Print(const QString& line);
  // One HID interface of `list` (plain: a line on standard output; JSON: a "device" event).
  void Interface(const ListedInterface& item) { sink_->Interface(item); }
  // The record of `info` (plain: lines on standard output; JSON: an "info" event).
  void Record(const BootRecord& record) { sink_->Record(record); }
  // A history line on standard output (JSON: a "log" event).
  void ShowHistoryLine(const QString& line);
  // One JSON event line; JSON mode only.
  void Emit(const JsonObject& object);
  // A JSON line made elsewhere (a child's event); JSON mode only.
  void EmitLine(const std::string& line);
  // The run's last word: JSON "result" event; plain: the proof's line on
  // standard error, with --quiet after the result line (they are the result).
  void Result(int exitCode, const QString& title, const QString& text,
              const std::optional<ResultProof>& proof = std::nullopt);
  // One board's result in a run over several boards (--all, --repeat):
  // plain "sim:1 (Serial=A): succeeded in 2.31 s, wrote ..." on standard
  // output; JSON a "result" event with path, serial and seconds, and the
  // proof's keys as for one board.
  void BoardResult(const BoardOutcome& board);
  // The last word of a run over several boards: "2 succeeded, 1 failed" (plain,
  // standard output) or a "summary" event.
  void Summary(int exitCode, int succeeded, int failed);
  // Removes a progress bar still on the terminal.
  void EndProgress();
  // errno of the first write to standard output that failed, 0 while none has.
  int OutputError() const;
  // Says on standard error that standard output could not be written.
  void ReportOutputError();

  // --- what the engine showed (counts only: outcomes come from the engine) ---
  int MessagesShown = 0;  // message boxes (HEX refusals, application errors)
  int QuestionsAsked = 0;
  int QuestionsDeclined = 0;

 private:
  void ShowProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total);
  void LogLine(const QString& text);

  CliOutputConfig config_;
  Terminal terminal_;
  std::unique_ptr<OutputSink> sink_;  // text or JSON, as --json says
  CliLog* log_ = nullptr;

  // Progress throttling: bar redraws and JSON events at most every kProgressInterval,
  // except when a phase starts, its total changes or it completes.
  static constexpr std::chrono::milliseconds kProgressInterval{100};
  std::chrono::steady_clock::time_point lastProgress_{};
  std::optional<UploadPhase> phase_;
  std::uint64_t phaseDone_ = 0;
  std::uint64_t phaseTotal_ = 0;
  bool phaseShown_ = false;
  std::chrono::steady_clock::time_point phaseStart_{};
  std::chrono::steady_clock::time_point uploadStart_{};
  bool resultGiven_ = false;  // no progress after the result
};

// A message text on one line: CR/LF pairs and single line breaks become blanks.
QString OneLine(const QString& text);

}  // namespace quorvel::cli
