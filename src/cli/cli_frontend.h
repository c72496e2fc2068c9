#pragma once
// CliFrontend: the engine's front end on a terminal or in a script. History
// lines go to standard output exactly as the window appends them; questions
// are answered from the command line (never from standard input); dialogs,
// message boxes and the CLI's own remarks go to standard error in plain
// words. With --json every event is one JSON object per line on standard
// output instead.
#include <QString>
#include <chrono>
#include <cstdio>

#include "engine/frontend.h"
#include "cli/json_line.h"

namespace quorvel {
class TPelmo;
}

namespace quorvel::cli {

struct CliOutputConfig {
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  bool yes = false;          // answer to every question
  bool progressBar = false;  // draw a bar on `err` (only sensible on a terminal)
};

class CliFrontend : public Frontend {
 public:
  CliFrontend(CliOutputConfig config, std::FILE* out, std::FILE* err);
  ~CliFrontend() override;
  CliFrontend(const CliFrontend&) = delete;
  CliFrontend& operator=(const CliFrontend&) = delete;

  // The engine whose progress bar is shown; may be null.
  void Attach(const TPelmo* pelmo) { pelmo_ = pelmo; }
  const CliOutputConfig& Config() const { return config_; }

  // --- Frontend ---
  void HistoryAppended(const QString& line) override;
  void ErrorAppended(const QString& line) override;
  void ProgressChanged() override;
  bool AskYesNo(const QString& text) override;
  void ShowMessage(MessageKind kind, const QString& title, const QString& text) override;
  void ShowTaskDialog(const TTaskDialogTexts& texts) override;

  // --- the command line's own output ---
  // A failure explained to the user (plain: standard error; JSON: an "error" event).
  void Error(const QString& text);
  // A remark worth showing unless --quiet (plain: standard error).
  void Notice(const QString& text);
  // Shown only with --verbose.
  void Detail(const QString& text);
  // A line of a command's own result (list, info) on standard output; plain mode only.
  void Print(const QString& line);
  // One JSON event line; JSON mode only.
  void Emit(const JsonObject& object);
  // The run's last word: JSON "result" event; plain: the text on standard
  // error when the run failed.
  void Result(int exitCode, const QString& title, const QString& text);
  // Removes a progress bar still on the terminal.
  void EndProgress();
  // errno of the first write to standard output that failed, 0 while none has.
  int OutputError() const { return outputError_; }
  // Says on standard error that standard output could not be written.
  void ReportOutputError();

  // --- what the engine showed (counts only: outcomes come from the engine) ---
  int MessagesShown = 0;  // message boxes (HEX refusals, application errors)
  int QuestionsAsked = 0;
  int QuestionsDeclined = 0;

 private:
  void WriteLine(std::FILE* stream, const QString& line);
  void WriteRaw(std::FILE* stream, const std::string& text);
  void ClearBar();
  void DrawBar(int percent);

  CliOutputConfig config_;
  std::FILE* out_;
  std::FILE* err_;
  const TPelmo* pelmo_ = nullptr;

  // Progress throttling: bar redraws and JSON events at most every kProgressInterval,
  // except when the total changes or the bar completes.
  static constexpr std::chrono::milliseconds kProgressInterval{100};
  std::chrono::steady_clock::time_point lastProgress_{};
  int lastDone_ = -1;
  int lastTotal_ = -1;
  bool barVisible_ = false;
  int lastPercent_ = -1;
  int outputError_ = 0;
};

// A message text on one line: CR/LF pairs and single line breaks become blanks.
QString OneLine(const QString& text);

}  // namespace quorvel::cli
