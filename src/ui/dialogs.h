// SPDX-License-Identifier: Apache-2.0
#pragma once
// Modal dialogs of the window behind one seam, so widget tests can answer
// them from a script instead of blocking in a platform dialog.
#include <QDialog>
#include <QString>

#include "engine/frontend.h"

class QLabel;
class QPushButton;
class QTextEdit;
class QWidget;

namespace quorvel::ui {

class DialogProvider {
 public:
  virtual ~DialogProvider() = default;
  // Warning box with Yes and No; true = Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& title, const QString& text) = 0;
  virtual void ShowMessage(QWidget* parent, MessageKind kind, const QString& title, const QString& text) = 0;
  virtual void ShowTaskDialog(QWidget* parent, const TTaskDialogTexts& texts) = 0;
  // File-open dialog with the filter `filter` ("HEX files (*.hex *.ihex)"). Returns
  // false when cancelled; otherwise fileName holds the chosen file.
  virtual bool ChooseFile(QWidget* parent, const QString& filter, const QString& initialDir,
                          QString& fileName) = 0;
};

// The real dialogs: QMessageBox, TaskDialog, QFileDialog.
class QtDialogProvider : public DialogProvider {
 public:
  bool AskYesNo(QWidget* parent, const QString& title, const QString& text) override;
  void ShowMessage(QWidget* parent, MessageKind kind, const QString& title, const QString& text) override;
  void ShowTaskDialog(QWidget* parent, const TTaskDialogTexts& texts) override;
  bool ChooseFile(QWidget* parent, const QString& filter, const QString& initialDir,
                  QString& fileName) override;
};

// The result dialog: title, main instruction, content, details behind a
// "Show details" / "Hide details" toggle, and OK.
class TaskDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TaskDialog(const TTaskDialogTexts& texts, QWidget* parent = nullptr);
  bool DetailsShown() const;
  void ToggleDetails();

 private:
  QPushButton* toggle_ = nullptr;
  QTextEdit* details_ = nullptr;
};

}  // namespace quorvel::ui
