// SPDX-License-Identifier: Apache-2.0
#pragma once
// A Frontend for tests: records everything the engine shows and answers its
// questions from scripted queues.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "engine/frontend.h"

namespace quorvel::test {

struct RecordedProgress {
  UploadPhase phase;
  std::uint64_t done;
  std::uint64_t total;
  qsizetype historyLines;  // history lines shown when it was reported
};

struct RecordedMessage {
  MessageKind kind;
  QString title;
  QString text;
};

class RecordingFrontend : public Frontend {
 public:
  // --- what was shown ---
  QStringList history;                    // lines in order
  std::vector<RecordedMessage> messages;  // message boxes in order
  std::vector<TTaskDialogTexts> taskDialogs;
  QStringList questions;       // Yes/No texts in order
  QStringList statusBarPaths;  // ShowFileInStatusBar arguments
  QStringList fileDialogDirs;  // initial folder of every file dialog shown
  int terminalClears = 0;
  int buttonChanges = 0;
  int progressChanges = 0;
  int deviceInfoChanges = 0;
  int closeRequests = 0;
  std::vector<RecordedProgress> uploadProgress;

  // --- scripted answers ---
  std::deque<bool> yesNoAnswers;                   // empty: No
  std::deque<std::optional<QString>> fileAnswers;  // nullopt or empty queue: cancelled

  // Optional hook run inside AskYesNo / ShowMessage / ShowTaskDialog, for
  // tests that need something to happen while a modal box is "open".
  std::function<void()> onModal;
  // Optional hook run on every progress change.
  std::function<void()> onProgress;

  void HistoryAppended(const QString& line) override { history << line; }
  void TerminalCleared() override { ++terminalClears; }
  void ButtonChanged(ButtonId) override { ++buttonChanges; }
  void ProgressChanged() override {
    ++progressChanges;
    if (onProgress) onProgress();
  }
  void UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) override {
    uploadProgress.push_back({phase, done, total, history.size()});
  }
  void DeviceInfoChanged() override { ++deviceInfoChanges; }
  void ShowFileInStatusBar(const QString& path) override { statusBarPaths << path; }

  bool AskYesNo(const QString& text) override {
    questions << text;
    RunModalHook();
    if (yesNoAnswers.empty()) return false;
    const bool answer = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return answer;
  }
  void ShowMessage(MessageKind kind, const QString& title, const QString& text) override {
    messages.push_back({kind, title, text});
    RunModalHook();
  }
  void ShowTaskDialog(const TTaskDialogTexts& texts) override {
    taskDialogs.push_back(texts);
    RunModalHook();
  }
  bool ChooseHexFile(QString& fileName, const QString& initialDir) override {
    fileDialogDirs << initialDir;
    if (fileAnswers.empty() || !fileAnswers.front()) {
      if (!fileAnswers.empty()) fileAnswers.pop_front();
      return false;
    }
    fileName = *fileAnswers.front();
    fileAnswers.pop_front();
    return true;
  }
  void CloseMainWindow() override { ++closeRequests; }

  // Lines appended since `mark` (an earlier history.size()).
  QStringList HistorySince(qsizetype mark) const { return history.mid(mark); }

 private:
  void RunModalHook() {
    if (onModal) onModal();
  }
};

}  // namespace quorvel::test
