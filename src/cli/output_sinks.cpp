// SPDX-License-Identifier: Apache-2.0
#include "cli/output_sinks.h"

#include <cerrno>

#include "cli/cli_frontend.h"
#include "cli/cli_text.h"
#include "cli/json_line.h"
#include "cli/progress_display.h"

namespace quorvel::cli {

namespace {

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

class TextSink final : public OutputSink {
 public:
  TextSink(Terminal& terminal, const CliOutputConfig& config) : t_(terminal), config_(config) {}

  bool ShowsProgress() const override { return config_.progressBar; }
  void HistoryLine(const QString& line) override { t_.WriteLine(t_.Out(), line); }
  void Progress(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t phaseMs,
                std::int64_t uploadMs) override {
    t_.ShowBar(ProgressLine(phase, done, total, phaseMs, uploadMs));
  }
  void Question(const QString& text, bool answer) override {
    if (config_.quiet && answer) return;
    t_.WriteLine(t_.Err(), QStringLiteral("Question: %1 -> %2")
                               .arg(OneLine(text), answer ? QStringLiteral("Yes")
                                                          : QStringLiteral("No (give --yes to answer Yes)")));
  }
  void Message(MessageKind kind, const QString&, const QString& text) override {
    const QString word = kind == MessageKind::Warning ? QStringLiteral("Warning") : QStringLiteral("Error");
    t_.WriteLine(t_.Err(), word + QStringLiteral(": ") + OneLine(text));
  }
  void Dialog(const TTaskDialogTexts& texts) override {
    if (config_.quiet) return;
    t_.WriteLine(t_.Err(), texts.Title + QStringLiteral(": ") + texts.Content + QStringLiteral(" ") +
                               texts.MainInstruction);
    if (config_.verbose && !texts.ExpandedText.isEmpty()) t_.WriteLine(t_.Err(), texts.ExpandedText);
  }
  void Error(const QString& text) override { t_.WriteLine(t_.Err(), QStringLiteral("quorvel-cli: ") + text); }
  void Notice(const QString& text) override { t_.WriteLine(t_.Err(), text); }
  void Dropped(const QString& text, std::uint64_t, std::uint32_t) override { Notice(text); }
  void Print(const QString& line) override { t_.WriteLine(t_.Out(), line); }
  void Interface(const ListedInterface& item) override {
    Print(QStringLiteral("%1 %2  %3:%4  %5%6")
              .arg(item.bootloader ? QStringLiteral("*") : QStringLiteral(" "),
                   item.path.isEmpty() ? QStringLiteral("-") : item.path)
              .arg(item.vendorId, 4, 16, QLatin1Char('0'))
              .arg(item.productId, 4, 16, QLatin1Char('0'))
              .arg(item.label, item.busy ? QStringLiteral("  busy") : QString()));
  }
  void Record(const BootRecord& record) override {
    const TBootInfo& info = record.info;
    Print(QStringLiteral("Family:        %1 (%2)").arg(FamilyName(info.McuType)).arg(info.McuType));
    Print(QStringLiteral("Description:   %1").arg(DeviceDescriptionText(info, true)));
    Print(QStringLiteral("Revision:      0x%1").arg(info.BootRevision, 4, 16, QLatin1Char('0')));
    Print(QStringLiteral("Layout:        %1")
              .arg(BootAtBottom(info) ? QStringLiteral("bottom") : QStringLiteral("top")));
    Print(QStringLiteral("Boot start:    %1").arg(Hex32(static_cast<std::uint32_t>(info.BootStart))));
    Print(QStringLiteral("Program start: %1").arg(Hex32(static_cast<std::uint32_t>(info.ProgramStart))));
    Print(QStringLiteral("Size:          %1").arg(Hex32(info.McuSize)));
    Print(QStringLiteral("Erase block:   %1").arg(info.EraseBlock));
    Print(QStringLiteral("Write block:   %1").arg(info.WriteBlock));
  }
  void Event(const std::string&) override {}
  void Result(int exitCode, const QString& title, const QString& text,
              const std::optional<ResultProof>& proof) override {
    // Quiet runs still end with their result; a failure has said why already.
    if (config_.quiet && exitCode == 0) {
      t_.WriteLine(t_.Err(), text.isEmpty() ? title : title + QStringLiteral(": ") + OneLine(text));
      if (proof) t_.WriteLine(t_.Err(), proof->line);
      return;
    }
    // Standard output carries the history lines only, as the window shows them.
    if (proof) t_.WriteLine(t_.Err(), proof->line);
  }
  void BoardResult(const BoardOutcome& board) override { t_.WriteLine(t_.Out(), BoardResultLine(board)); }
  void Summary(int, int succeeded, int failed) override {
    t_.WriteLine(t_.Out(), SummaryText(succeeded, failed));
  }

 private:
  Terminal& t_;
  const CliOutputConfig& config_;
};

class JsonSink final : public OutputSink {
 public:
  explicit JsonSink(Terminal& terminal) : t_(terminal) {}

  bool ShowsProgress() const override { return true; }
  void HistoryLine(const QString& line) override {
    Emit(JsonObject().Add("event", "log").Add("text", Utf8(line)));
  }
  void Progress(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t,
                std::int64_t) override {
    Emit(JsonObject()
             .Add("event", "progress")
             .Add("phase", PhaseKey(phase))
             .Add("done", static_cast<std::int64_t>(done))
             .Add("total", static_cast<std::int64_t>(total)));
  }
  void Question(const QString& text, bool answer) override {
    Emit(JsonObject().Add("event", "question").Add("text", Utf8(text)).Add("answer", answer ? "yes" : "no"));
  }
  void Message(MessageKind kind, const QString& title, const QString& text) override {
    Emit(JsonObject()
             .Add("event", "message")
             .Add("kind", KindWord(kind))
             .Add("title", Utf8(title))
             .Add("text", Utf8(text)));
  }
  void Dialog(const TTaskDialogTexts& texts) override {
    Emit(JsonObject()
             .Add("event", "dialog")
             .Add("title", Utf8(texts.Title))
             .Add("instruction", Utf8(texts.MainInstruction))
             .Add("text", Utf8(texts.Content))
             .Add("details", Utf8(texts.ExpandedText)));
  }
  void Error(const QString& text) override { Emit(JsonObject().Add("event", "error").Add("text", Utf8(text))); }
  void Notice(const QString& text) override { Emit(JsonObject().Add("event", "notice").Add("text", Utf8(text))); }
  void Dropped(const QString& text, std::uint64_t bytes, std::uint32_t firstAddress) override {
    Emit(JsonObject()
             .Add("event", "dropped")
             .Add("bytes", static_cast<std::int64_t>(bytes))
             .Add("address", static_cast<std::int64_t>(firstAddress))
             .Add("text", Utf8(text)));
  }
  void Print(const QString&) override {}
  void Interface(const ListedInterface& item) override {
    Emit(JsonObject()
             .Add("event", "device")
             .Add("label", Utf8(item.label))
             .Add("bootloader", item.bootloader)
             .Add("busy", item.busy)
             .Add("path", Utf8(item.path))
             .Add("serial", Utf8(item.serial))
             .Add("vid", item.vendorId)
             .Add("pid", item.productId));
  }
  void Record(const BootRecord& record) override {
    const TBootInfo& info = record.info;
    Emit(JsonObject()
             .Add("event", "info")
             .Add("path", Utf8(record.path))
             .Add("serial", Utf8(record.serial))
             .Add("family", Utf8(FamilyName(info.McuType)))
             .Add("code", static_cast<int>(info.McuType))
             .Add("description", Utf8(DeviceDescriptionText(info, false)))
             .Add("revision", static_cast<int>(info.BootRevision))
             .Add("layout", BootAtBottom(info) ? "bottom" : "top")
             // Addresses as the device's unsigned 32-bit values (PIC32 boot starts above 2^31).
             .Add("bootStart", static_cast<std::int64_t>(static_cast<std::uint32_t>(info.BootStart)))
             .Add("programStart", static_cast<std::int64_t>(static_cast<std::uint32_t>(info.ProgramStart)))
             .Add("size", static_cast<std::int64_t>(info.McuSize))
             .Add("eraseBlock", static_cast<int>(info.EraseBlock))
             .Add("writeBlock", static_cast<int>(info.WriteBlock)));
  }
  void Event(const std::string& line) override { t_.WriteRaw(t_.Out(), line + "\n"); }
  void Result(int exitCode, const QString& title, const QString& text,
              const std::optional<ResultProof>& proof) override {
    JsonObject result;
    result.Add("event", "result").Add("exit", exitCode).Add("title", Utf8(title)).Add("text", Utf8(text));
    AddProof(result, proof);
    Emit(result);
  }
  void BoardResult(const BoardOutcome& board) override {
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
  }
  void Summary(int exitCode, int succeeded, int failed) override {
    Emit(JsonObject()
             .Add("event", "summary")
             .Add("exit", exitCode)
             .Add("succeeded", succeeded)
             .Add("failed", failed));
  }

 private:
  void Emit(const JsonObject& object) { Event(object.Str()); }
  Terminal& t_;
};

}  // namespace

void Terminal::WriteRaw(std::FILE* stream, const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if ((std::fflush(stream) != 0 || !written) && stream == out_ && outputError_ == 0) {
    outputError_ = errno != 0 ? errno : EIO;
  }
}

void Terminal::WriteLine(std::FILE* stream, const QString& line) {
  ClearBar();
  WriteRaw(stream, Utf8(line) + "\n");
}

void Terminal::ShowBar(const std::string& line) {
  if (barVisible_ && line == lastBar_) return;
  WriteRaw(err_, "\r" + line + "\x1b[K");
  barVisible_ = true;
  lastBar_ = line;
}

void Terminal::ClearBar() {
  if (!barVisible_) return;
  WriteRaw(err_, "\r\x1b[K");
  barVisible_ = false;
}

std::unique_ptr<OutputSink> MakeTextSink(Terminal& terminal, const CliOutputConfig& config) {
  return std::make_unique<TextSink>(terminal, config);
}

std::unique_ptr<OutputSink> MakeJsonSink(Terminal& terminal, const CliOutputConfig&) {
  return std::make_unique<JsonSink>(terminal);
}

}  // namespace quorvel::cli
