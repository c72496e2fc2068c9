// SPDX-License-Identifier: Apache-2.0
#include "ui/dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTextEdit>
#include <QVBoxLayout>

namespace quorvel::ui {

bool QtDialogProvider::AskYesNo(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

void QtDialogProvider::ShowMessage(QWidget* parent, MessageKind kind, const QString& title,
                                   const QString& text) {
  const QMessageBox::Icon icon = kind == MessageKind::Warning ? QMessageBox::Warning : QMessageBox::Critical;
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void QtDialogProvider::ShowTaskDialog(QWidget* parent, const TTaskDialogTexts& texts) {
  TaskDialog dialog(texts, parent);
  dialog.exec();
}

bool QtDialogProvider::ChooseFile(QWidget* parent, const QString& filter, const QString& initialDir,
                                  QString& fileName) {
  QFileDialog dialog(parent);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(filter);
  // The stored file name may be a full path; its folder wins when no initial
  // folder is stored, as with the platform dialogs users know.
  const QFileInfo previous(fileName);
  if (!initialDir.isEmpty()) {
    dialog.setDirectory(initialDir);
  } else if (!fileName.isEmpty() && previous.dir().exists()) {
    dialog.setDirectory(previous.absolutePath());
  }
  if (!fileName.isEmpty()) dialog.selectFile(previous.fileName());
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return false;
  fileName = files.front();
  return true;
}

TaskDialog::TaskDialog(const TTaskDialogTexts& texts, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TaskDialog1"));
  setWindowTitle(texts.Title);
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(
      style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(QSize(32, 32), devicePixelRatio()));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* textColumn = new QVBoxLayout;
  auto* instruction = new QLabel(texts.MainInstruction, this);
  instruction->setObjectName(QStringLiteral("MainInstruction"));
  QFont big = instruction->font();
  big.setPointSizeF(big.pointSizeF() * 1.4);
  instruction->setFont(big);
  instruction->setStyleSheet(QStringLiteral("color: #003399;"));
  instruction->setWordWrap(true);
  instruction->setTextFormat(Qt::PlainText);
  textColumn->addWidget(instruction);
  auto* content = new QLabel(texts.Content, this);
  content->setObjectName(QStringLiteral("Content"));
  content->setWordWrap(true);
  content->setTextFormat(Qt::PlainText);
  textColumn->addWidget(content);
  top->addLayout(textColumn, 1);
  layout->addLayout(top);

  details_ = new QTextEdit(this);
  details_->setObjectName(QStringLiteral("ExpandedText"));
  details_->setReadOnly(true);
  details_->setPlainText(texts.ExpandedText);
  details_->setVisible(false);
  details_->setMinimumHeight(80);
  layout->addWidget(details_);

  auto* bottom = new QHBoxLayout;
  toggle_ = new QPushButton(QStringLiteral("Show details"), this);
  toggle_->setObjectName(QStringLiteral("DetailsToggle"));
  toggle_->setFlat(true);
  // Enter belongs to OK, also while the toggle has the focus.
  toggle_->setAutoDefault(false);
  toggle_->setVisible(!texts.ExpandedText.isEmpty());
  connect(toggle_, &QPushButton::clicked, this, &TaskDialog::ToggleDetails);
  bottom->addWidget(toggle_);
  bottom->addStretch(1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  bottom->addWidget(buttons);
  layout->addLayout(bottom);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  ok->setDefault(true);
  ok->setFocus();
  setMinimumWidth(360);
}

bool TaskDialog::DetailsShown() const { return !details_->isHidden(); }

void TaskDialog::ToggleDetails() {
  const bool show = !DetailsShown();
  details_->setVisible(show);
  toggle_->setText(show ? QStringLiteral("Hide details") : QStringLiteral("Show details"));
  adjustSize();
}

}  // namespace quorvel::ui
