#include "cli/cli_frontend.h"

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/pelmo.h"

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

}  // namespace

QString OneLine(const QString& text) {
  static const QRegularExpression breaks(QStringLiteral("\\s*(\\r\\n|\\r|\\n)\\s*"));
  QString flat = text;
  flat.replace(breaks, QStringLiteral(" "));
  return flat.trimmed();
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

void CliFrontend::HistoryAppended(const QString& line) {
  if (config_.quiet) return;
  ErrorAppended(line);
}

void CliFrontend::ErrorAppended(const QString& line) {
  // Quiet runs still show the error lines of the log: they say why a run failed.
  if (config_.json) {
    Emit(JsonObject().Add("event", "log").Add("text", Utf8(line)));
  } else {
    WriteLine(out_, line);
  }
}

void CliFrontend::ProgressChanged() {
  if (pelmo_ == nullptr || config_.quiet || (!config_.json && !config_.progressBar)) return;
  // Only a running upload's progress is news; the reset to 0 when a run ends is not.
  if (!pelmo_->UploadRunning()) return;
  const TProgressBar& bar = pelmo_->Progress;
  const int total = std::max(0, bar.Max - bar.Min);
  const int done = std::clamp(bar.Position - bar.Min, 0, total);
  if (done == lastDone_ && total == lastTotal_) return;

  const auto now = std::chrono::steady_clock::now();
  const bool milestone = total != lastTotal_ || done == total || done == 0;
  if (!milestone && now - lastProgress_ < kProgressInterval) return;
  lastProgress_ = now;
  lastDone_ = done;
  lastTotal_ = total;

  if (config_.json) {
    Emit(JsonObject().Add("event", "progress").Add("done", done).Add("total", total));
  } else {
    DrawBar(total == 0 ? 0 : static_cast<int>(static_cast<std::int64_t>(done) * 100 / total));
  }
}

void CliFrontend::DrawBar(int percent) {
  if (barVisible_ && percent == lastPercent_) return;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  std::string bar = "\r[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  bar += "] " + std::to_string(percent) + "%\x1b[K";
  WriteRaw(err_, bar);
  barVisible_ = true;
  lastPercent_ = percent;
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
  if (config_.json) {
    Emit(JsonObject().Add("event", "error").Add("text", Utf8(text)));
  } else {
    WriteLine(err_, QStringLiteral("quorvel-cli: ") + text);
  }
}

void CliFrontend::Notice(const QString& text) {
  if (config_.quiet) return;
  if (config_.json) {
    Emit(JsonObject().Add("event", "notice").Add("text", Utf8(text)));
  } else {
    WriteLine(err_, text);
  }
}

void CliFrontend::Detail(const QString& text) {
  if (config_.verbose) Notice(text);
}

void CliFrontend::Print(const QString& line) {
  if (!config_.json) WriteLine(out_, line);
}

void CliFrontend::Result(int exitCode, const QString& title, const QString& text) {
  EndProgress();
  if (config_.json) {
    Emit(JsonObject()
             .Add("event", "result")
             .Add("exit", exitCode)
             .Add("title", Utf8(title))
             .Add("text", Utf8(text)));
  }
}

}  // namespace quorvel::cli
