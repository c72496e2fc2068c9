// SPDX-License-Identifier: Apache-2.0
#pragma once
// Dialogs answered from a script: records what the window showed and answers
// Yes/No questions and file dialogs from queues.
#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
#include <ostream>
#include <vector>

#include "ui/dialogs.h"

// Readable QStrings in assertion messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace quorvel::ui::test {

struct ShownMessage {
  MessageKind kind;
  QString title;
  QString text;
};

struct ShownFileDialog {
  QString filter;
  QString initialDir;
  QString initialName;
};

class ScriptedDialogs : public DialogProvider {
 public:
  std::vector<ShownMessage> messages;
  QStringList questions;  // "title|text"
  std::vector<TTaskDialogTexts> taskDialogs;
  std::vector<ShownFileDialog> fileDialogs;

  std::deque<bool> yesNoAnswers;                   // empty: No
  std::deque<std::optional<QString>> fileAnswers;  // nullopt / empty: cancelled

  bool AskYesNo(QWidget*, const QString& title, const QString& text) override {
    questions << title + QLatin1Char('|') + text;
    if (yesNoAnswers.empty()) return false;
    const bool answer = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return answer;
  }
  void ShowMessage(QWidget*, MessageKind kind, const QString& title, const QString& text) override {
    messages.push_back({kind, title, text});
  }
  void ShowTaskDialog(QWidget*, const TTaskDialogTexts& texts) override { taskDialogs.push_back(texts); }
  bool ChooseFile(QWidget*, const QString& filter, const QString& initialDir, QString& fileName) override {
    fileDialogs.push_back({filter, initialDir, fileName});
    if (fileAnswers.empty()) return false;
    const std::optional<QString> answer = fileAnswers.front();
    fileAnswers.pop_front();
    if (!answer) return false;
    fileName = *answer;
    return true;
  }
};

}  // namespace quorvel::ui::test
