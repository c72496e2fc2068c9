// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where quorvel-cli's words go: plain text (history on standard output,
// remarks on standard error, a progress bar on a terminal) or one JSON event
// per line on standard output. CliFrontend decides what is said (the log,
// --quiet, progress throttling); a sink decides how.
#include <QString>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "core/boot_info.h"
#include "engine/frontend.h"

namespace quorvel::cli {

struct BoardOutcome;
struct CliOutputConfig;
struct ResultProof;

// Standard output and error, with the first failed write to standard output remembered.
class Terminal {
 public:
  Terminal(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  std::FILE* Out() const { return out_; }
  std::FILE* Err() const { return err_; }
  void WriteRaw(std::FILE* stream, const std::string& text);
  // A line, after taking a progress bar off the terminal.
  void WriteLine(std::FILE* stream, const QString& line);
  // Redraws the bar on standard error unless it shows `line` already.
  void ShowBar(const std::string& line);
  void ClearBar();
  int OutputError() const { return outputError_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
  bool barVisible_ = false;
  std::string lastBar_;
  int outputError_ = 0;
};

// One HID interface as `list` shows it.
struct ListedInterface {
  QString label;
  QString path;  // empty: not opened
  QString serial;
  bool bootloader = false;
  bool busy = false;  // another program has it locked
  int vendorId = 0;
  int productId = 0;
};

// The bootloader's information record as `info` shows it.
struct BootRecord {
  QString path;
  QString serial;
  TBootInfo info;
};

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Whether upload progress is shown at all.
  virtual bool ShowsProgress() const = 0;
  virtual void HistoryLine(const QString& line) = 0;
  // `phaseMs` and `uploadMs`: time since the phase and the upload began.
  virtual void Progress(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t phaseMs,
                        std::int64_t uploadMs) = 0;
  virtual void Question(const QString& text, bool answer) = 0;
  virtual void Message(MessageKind kind, const QString& title, const QString& text) = 0;
  virtual void Dialog(const TTaskDialogTexts& texts) = 0;
  virtual void Error(const QString& text) = 0;
  // Said unless --quiet (the front end has checked).
  virtual void Notice(const QString& text) = 0;
  virtual void Dropped(const QString& text, std::uint64_t bytes, std::uint32_t firstAddress) = 0;
  // A line of a command's own result; plain text only.
  virtual void Print(const QString& line) = 0;
  virtual void Interface(const ListedInterface& item) = 0;
  virtual void Record(const BootRecord& record) = 0;
  // One JSON event line; JSON only.
  virtual void Event(const std::string& line) = 0;
  virtual void Result(int exitCode, const QString& title, const QString& text,
                      const std::optional<ResultProof>& proof) = 0;
  virtual void BoardResult(const BoardOutcome& board) = 0;
  virtual void Summary(int exitCode, int succeeded, int failed) = 0;
};

std::unique_ptr<OutputSink> MakeTextSink(Terminal& terminal, const CliOutputConfig& config);
std::unique_ptr<OutputSink> MakeJsonSink(Terminal& terminal, const CliOutputConfig& config);

}  // namespace quorvel::cli
