// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_frontend.h"

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli_log.h"
#include "cli/output_sinks.h"
#include "io/display_text.h"

namespace quorvel::cli {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace

QString OneLine(const QString& text) {
  static const QRegularExpression breaks(QStringLiteral("\\s*(\\r\\n|\\r|\\n)\\s*"));
  QString flat = text;
  flat.replace(breaks, QStringLiteral(" "));
  return flat.trimmed();
}

QString BoardResultLine(const BoardOutcome& board) {
  // A device chooses its serial: nothing in it may steer the terminal.
  const QString serial = QString::fromStdString(io::PrintableText(board.serial.toStdString()));
  const QString who = board.path + (serial.isEmpty() ? QStringLiteral(" (no serial)")
                                                     : QStringLiteral(" (Serial=%1)").arg(serial));
  const QString seconds = QString::number(board.seconds, 'f', 2);
  if (board.exitCode == 0) {
    QString line = QStringLiteral("%1: succeeded in %2 s").arg(who, seconds);
    if (board.proof) {
      line += QStringLiteral(", wrote %1 bytes, program SHA-256 %2")
                  .arg(board.proof->bytes)
                  .arg(QString::fromStdString(board.proof->sha256));
      if (!board.proof->bootSha256.empty())
        line += QStringLiteral(", boot SHA-256 %1").arg(QString::fromStdString(board.proof->bootSha256));
    }
    return line;
  }
  return QStringLiteral("%1: %2 (exit %3) in %4 s")
      .arg(who, board.exitCode == 5 ? QStringLiteral("aborted") : QStringLiteral("failed"),
           QString::number(board.exitCode), seconds);
}

QString SummaryText(int succeeded, int failed) {
  return QStringLiteral("%1 succeeded, %2 failed").arg(succeeded).arg(failed);
}

CliFrontend::CliFrontend(CliOutputConfig config, std::FILE* out, std::FILE* err)
    : config_(config),
      terminal_(out, err),
      sink_(config.json ? MakeJsonSink(terminal_, config_) : MakeTextSink(terminal_, config_)) {}

CliFrontend::~CliFrontend() { EndProgress(); }

int CliFrontend::OutputError() const { return terminal_.OutputError(); }

void CliFrontend::ReportOutputError() {
  if (OutputError() == 0) return;
  terminal_.ClearBar();
  // Plain words even with --json: the JSON stream is what failed.
  terminal_.WriteRaw(terminal_.Err(), "quorvel-cli: cannot write to standard output: " +
                                          std::string(std::strerror(OutputError())) + "\n");
}

void CliFrontend::Emit(const JsonObject& object) { sink_->Event(object.Str()); }

void CliFrontend::LogLine(const QString& text) {
  if (log_ != nullptr) log_->Line(Utf8(text));
}

void CliFrontend::EmitLine(const std::string& line) { sink_->Event(line); }

void CliFrontend::HistoryAppended(const QString& line) {
  LogLine(line);
  if (!config_.quiet) ShowHistoryLine(line);
}

// Quiet runs still show the error lines of the log: they say why a run failed.
void CliFrontend::ErrorAppended(const QString& line) {
  LogLine(line);
  ShowHistoryLine(line);
}

void CliFrontend::ShowHistoryLine(const QString& line) { sink_->HistoryLine(line); }

void CliFrontend::BeginUpload() {
  terminal_.ClearBar();
  phase_.reset();
  resultGiven_ = false;
}

void CliFrontend::UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) {
  ShowProgress(phase, done, total);
}

void CliFrontend::ShowProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) {
  if (resultGiven_ || config_.quiet || !sink_->ShowsProgress()) return;
  const auto now = std::chrono::steady_clock::now();
  const bool newPhase = !phase_ || *phase_ != phase;
  if (newPhase) {
    if (!phase_) uploadStart_ = now;
    phase_ = phase;
    phaseStart_ = now;
    phaseDone_ = 0;
    phaseTotal_ = total;
    phaseShown_ = false;
  }
  // Within a phase the count only grows: an animation or a late report that
  // would move it back is not shown as such.
  done = std::min(std::max(done, phaseDone_), total);
  const bool totalChanged = total != phaseTotal_;
  if (phaseShown_ && done == phaseDone_ && !totalChanged) return;
  const bool milestone = !phaseShown_ || totalChanged || done == total;
  if (!milestone && now - lastProgress_ < kProgressInterval) return;
  lastProgress_ = now;
  phaseDone_ = done;
  phaseTotal_ = total;
  phaseShown_ = true;
  const auto ms = [&now](std::chrono::steady_clock::time_point since) {
    return static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
  };
  sink_->Progress(phase, done, total, ms(phaseStart_), ms(uploadStart_));
}

void CliFrontend::EndProgress() { terminal_.ClearBar(); }

bool CliFrontend::AskYesNo(const QString& text) {
  ++QuestionsAsked;
  const bool answer = config_.yes;
  if (!answer) ++QuestionsDeclined;
  sink_->Question(text, answer);
  return answer;
}

void CliFrontend::ShowMessage(MessageKind kind, const QString& title, const QString& text) {
  ++MessagesShown;
  LogLine((kind == MessageKind::Warning ? QStringLiteral("Warning: ") : QStringLiteral("Error: ")) +
          OneLine(text));
  sink_->Message(kind, title, text);
}

void CliFrontend::ShowTaskDialog(const TTaskDialogTexts& texts) {
  LogLine(texts.Title + QStringLiteral(": ") +
          OneLine(texts.Content + QStringLiteral(" ") + texts.MainInstruction));
  sink_->Dialog(texts);
}

void CliFrontend::Error(const QString& text) {
  LogLine(QStringLiteral("Error: ") + OneLine(text));
  sink_->Error(text);
}

void CliFrontend::Notice(const QString& text) {
  LogLine(text);
  if (config_.quiet) return;
  sink_->Notice(text);
}

void CliFrontend::Dropped(const QString& text, std::uint64_t bytes, std::uint32_t firstAddress) {
  LogLine(text);
  if (config_.quiet) return;
  sink_->Dropped(text, bytes, firstAddress);
}

void CliFrontend::Detail(const QString& text) {
  if (config_.verbose) Notice(text);
}

void CliFrontend::Print(const QString& line) { sink_->Print(line); }

void CliFrontend::Result(int exitCode, const QString& title, const QString& text,
                         const std::optional<ResultProof>& proof) {
  EndProgress();
  resultGiven_ = true;
  if (proof) LogLine(proof->line);
  LogLine(QStringLiteral("Result: exit %1, %2: %3").arg(exitCode).arg(title, OneLine(text)));
  sink_->Result(exitCode, title, text, proof);
}

void CliFrontend::BoardResult(const BoardOutcome& board) {
  EndProgress();
  resultGiven_ = true;
  LogLine(BoardResultLine(board));
  sink_->BoardResult(board);
}

void CliFrontend::Summary(int exitCode, int succeeded, int failed) {
  EndProgress();
  resultGiven_ = true;
  LogLine(QStringLiteral("Summary: exit %1, %2").arg(exitCode).arg(SummaryText(succeeded, failed)));
  sink_->Summary(exitCode, succeeded, failed);
}

}  // namespace quorvel::cli
