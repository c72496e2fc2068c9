// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_frontend.h"

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli_log.h"
#include "cli/progress_display.h"
#include "io/display_text.h"

namespace quorvel::cli {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

const char* KindWord(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning:
      return "warning";
    case MessageKind::Error:
      return "error";
    case MessageKind::AppError:
      return "error";
  }
  return "error";
}

// The keys of what an upload wrote, as a one-board result carries them.
void AddProof(JsonObject& result, const std::optional<ResultProof>& proof) {
  if (!proof) return;
  result.Add("bytes", static_cast<std::int64_t>(proof->bytes)).Add("sha256", proof->sha256);
  if (!proof->bootSha256.empty()) result.Add("boot_sha256", proof->bootSha256);
}

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
    : config_(config), out_(out), err_(err) {}

CliFrontend::~CliFrontend() { EndProgress(); }

void CliFrontend::WriteRaw(std::FILE* stream, const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if ((std::fflush(stream) != 0 || !written) && stream == out_ && outputError_ == 0) {
    outputError_ = errno != 0 ? errno : EIO;
  }
}

void CliFrontend::ReportOutputError() {
  if (outputError_ == 0) return;
  ClearBar();
  // Plain words even with --json: the JSON stream is what failed.
  WriteRaw(err_, "quorvel-cli: cannot write to standard output: " + std::string(std::strerror(outputError_)) +
                     "\n");
}

void CliFrontend::WriteLine(std::FILE* stream, const QString& line) {
  ClearBar();
  WriteRaw(stream, Utf8(line) + "\n");
}

void CliFrontend::Emit(const JsonObject& object) {
  if (!config_.json) return;
  WriteRaw(out_, object.Str() + "\n");
}

void CliFrontend::LogLine(const QString& text) {
  if (log_ != nullptr) log_->Line(Utf8(text));
}

void CliFrontend::EmitLine(const std::string& line) {
  if (!config_.json) return;
  WriteRaw(out_, line + "\n");
}

void CliFrontend::HistoryAppended(const QString& line) {
  LogLine(line);
  if (!config_.quiet) ShowHistoryLine(line);
}

// Quiet runs still show the error lines of the log: they say why a run failed.
void CliFrontend::ErrorAppended(const QString& line) {
  LogLine(line);
  ShowHistoryLine(line);
}

void CliFrontend::ShowHistoryLine(const QString& line) {
  if (config_.json) {
    Emit(JsonObject().Add("event", "log").Add("text", Utf8(line)));
  } else {
    WriteLine(out_, line);
  }
}

void CliFrontend::BeginUpload() {
  ClearBar();
  phase_.reset();
  resultGiven_ = false;
}

void CliFrontend::UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) {
  ShowProgress(phase, done, total);
}

void CliFrontend::ShowProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) {
  if (resultGiven_ || config_.quiet || (!config_.json && !config_.progressBar)) return;
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

  if (config_.json) {
    Emit(JsonObject()
             .Add("event", "progress")
             .Add("phase", PhaseKey(phase))
             .Add("done", static_cast<std::int64_t>(done))
             .Add("total", static_cast<std::int64_t>(total)));
    return;
  }
  const auto ms = [&now](std::chrono::steady_clock::time_point since) {
    return static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
  };
  const std::string line = ProgressLine(phase, done, total, ms(phaseStart_), ms(uploadStart_));
  if (barVisible_ && line == lastBar_) return;
  WriteRaw(err_, "\r" + line + "\x1b[K");
  barVisible_ = true;
  lastBar_ = line;
}

void CliFrontend::ClearBar() {
  if (!barVisible_) return;
  WriteRaw(err_, "\r\x1b[K");
  barVisible_ = false;
}

void CliFrontend::EndProgress() { ClearBar(); }

bool CliFrontend::AskYesNo(const QString& text) {
  ++QuestionsAsked;
  const bool answer = config_.yes;
  if (!answer) ++QuestionsDeclined;
  if (config_.json) {
    Emit(JsonObject().Add("event", "question").Add("text", Utf8(text)).Add("answer", answer ? "yes" : "no"));
  } else if (!config_.quiet || !answer) {
    WriteLine(err_, QStringLiteral("Question: %1 -> %2")
                        .arg(OneLine(text), answer ? QStringLiteral("Yes")
                                                   : QStringLiteral("No (give --yes to answer Yes)")));
  }
  return answer;
}

void CliFrontend::ShowMessage(MessageKind kind, const QString& title, const QString& text) {
  ++MessagesShown;
  LogLine((kind == MessageKind::Warning ? QStringLiteral("Warning: ") : QStringLiteral("Error: ")) +
          OneLine(text));
  if (config_.json) {
    Emit(JsonObject()
             .Add("event", "message")
             .Add("kind", KindWord(kind))
             .Add("title", Utf8(title))
             .Add("text", Utf8(text)));
    return;
  }
  const QString word = kind == MessageKind::Warning ? QStringLiteral("Warning") : QStringLiteral("Error");
  WriteLine(err_, word + QStringLiteral(": ") + OneLine(text));
}

void CliFrontend::ShowTaskDialog(const TTaskDialogTexts& texts) {
  LogLine(texts.Title + QStringLiteral(": ") +
          OneLine(texts.Content + QStringLiteral(" ") + texts.MainInstruction));
  if (config_.json) {
    Emit(JsonObject()
             .Add("event", "dialog")
             .Add("title", Utf8(texts.Title))
             .Add("instruction", Utf8(texts.MainInstruction))
             .Add("text", Utf8(texts.Content))
             .Add("details", Utf8(texts.ExpandedText)));
    return;
  }
  if (config_.quiet) return;
  WriteLine(err_,
            texts.Title + QStringLiteral(": ") + texts.Content + QStringLiteral(" ") + texts.MainInstruction);
  if (config_.verbose && !texts.ExpandedText.isEmpty()) WriteLine(err_, texts.ExpandedText);
}

void CliFrontend::Error(const QString& text) {
  LogLine(QStringLiteral("Error: ") + OneLine(text));
  if (config_.json) {
    Emit(JsonObject().Add("event", "error").Add("text", Utf8(text)));
  } else {
    WriteLine(err_, QStringLiteral("quorvel-cli: ") + text);
  }
}

void CliFrontend::Notice(const QString& text) {
  LogLine(text);
  if (config_.quiet) return;
  if (config_.json) {
    Emit(JsonObject().Add("event", "notice").Add("text", Utf8(text)));
  } else {
    WriteLine(err_, text);
  }
}

void CliFrontend::Dropped(const QString& text, std::uint64_t bytes, std::uint32_t firstAddress) {
  if (!config_.json) {
    Notice(text);
    return;
  }
  LogLine(text);
  if (config_.quiet) return;
  Emit(JsonObject()
           .Add("event", "dropped")
           .Add("bytes", static_cast<std::int64_t>(bytes))
           .Add("address", static_cast<std::int64_t>(firstAddress))
           .Add("text", Utf8(text)));
}

void CliFrontend::Detail(const QString& text) {
  if (config_.verbose) Notice(text);
}

void CliFrontend::Print(const QString& line) {
  if (!config_.json) WriteLine(out_, line);
}

void CliFrontend::Result(int exitCode, const QString& title, const QString& text,
                         const std::optional<ResultProof>& proof) {
  EndProgress();
  resultGiven_ = true;
  if (proof) LogLine(proof->line);
  LogLine(QStringLiteral("Result: exit %1, %2: %3").arg(exitCode).arg(title, OneLine(text)));
  // Quiet runs still end with their result; a failure has said why already.
  // Where a run without --quiet says it (its dialog and proof on standard error).
  if (!config_.json && config_.quiet && exitCode == 0) {
    WriteLine(err_, text.isEmpty() ? title : title + QStringLiteral(": ") + OneLine(text));
    if (proof) WriteLine(err_, proof->line);
    return;
  }
  if (config_.json) {
    JsonObject result;
    result.Add("event", "result").Add("exit", exitCode).Add("title", Utf8(title)).Add("text", Utf8(text));
    AddProof(result, proof);
    Emit(result);
  } else if (proof) {
    // Standard output carries the history lines only, as the window shows them.
    WriteLine(err_, proof->line);
  }
}

void CliFrontend::BoardResult(const BoardOutcome& board) {
  EndProgress();
  resultGiven_ = true;
  const QString line = BoardResultLine(board);
  LogLine(line);
  if (config_.json) {
    JsonObject result;
    result.Add("event", "result")
        .Add("path", Utf8(board.path))
        .Add("serial", Utf8(board.serial))
        .Add("exit", board.exitCode)
        .Add("title", Utf8(board.title))
        .Add("text", Utf8(board.text))
        .Add("seconds", board.seconds);
    if (board.exitCode == 0) AddProof(result, board.proof);
    Emit(result);
  } else {
    WriteLine(out_, line);
  }
}

void CliFrontend::Summary(int exitCode, int succeeded, int failed) {
  EndProgress();
  resultGiven_ = true;
  LogLine(QStringLiteral("Summary: exit %1, %2").arg(exitCode).arg(SummaryText(succeeded, failed)));
  if (config_.json) {
    Emit(JsonObject()
             .Add("event", "summary")
             .Add("exit", exitCode)
             .Add("succeeded", succeeded)
             .Add("failed", failed));
  } else {
    WriteLine(out_, SummaryText(succeeded, failed));
  }
}

}  // namespace quorvel::cli
