// SPDX-License-Identifier: Apache-2.0
#pragma once
// Small widgets of the main window that Qt has no direct equivalent for.
#include <QComboBox>
#include <QFontMetrics>
#include <QIcon>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>

namespace quorvel::ui {

// A push button whose caption wraps onto several lines when it is wider than
// the button ("Browse      for HEX"); text() stays the caption as set.
// Enter clicks it when it has focus. A mnemonic letter is drawn underlined
// (its first occurrence in the caption, either case) without becoming part of
// the caption: the window's Alt shortcut clicks it whatever the caption says.
class WrapButton : public QPushButton {
  Q_OBJECT

 public:
  using QPushButton::QPushButton;
  void SetMnemonic(QChar letter) { mnemonic_ = letter; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QChar mnemonic_;
};

// `caption` marked for drawing with its mnemonic underlined: "&" doubled, and
// one "&" before the first `letter` (either case); unchanged without one.
QString MnemonicCaption(const QString& caption, QChar letter);

// The caption as drawn in `width` pixels: unchanged when it fits, else broken
// at its longest run of blanks (two or more), else left to word wrapping.
QString WrapCaption(const QString& caption, const QFontMetrics& metrics, int width);

// A display-only list: disabled, its current item drawn centred in grey and
// cut to the width; the tooltip and the accessible description hold the whole
// text. Items are shown literally (device-supplied text is never interpreted).
class DisplayComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit DisplayComboBox(QWidget* parent = nullptr);
  void SetItems(const QStringList& items, int itemIndex);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A tooltip that shows `text` literally, on one line.
QString PlainToolTip(const QString& text);

// The history log. Paths in its lines carry invisible marks so that they
// wrap after a "/" rather than inside a folder or file name; copied text
// leaves the marks out.
class LogMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  using QPlainTextEdit::QPlainTextEdit;
  // The log's text without the break marks.
  QString Text() const;

 protected:
  QMimeData* createMimeDataFromSelection() const override;
};

// `line` with the marks: in every word that contains a "/", a zero width
// space after each "/" and a word joiner between all other characters.
QString WithPathBreaks(const QString& line);
// Removes what WithPathBreaks added.
QString WithoutPathBreaks(QString text);

// The one-panel status bar: the panel is filled with the bar's background and
// its text drawn at (left + 2, top + 4), clipped to the panel.
class StatusBarPanel : public QWidget {
  Q_OBJECT

 public:
  explicit StatusBarPanel(QWidget* parent = nullptr);
  const QString& Text() const { return text_; }
  void SetText(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

// The USB link indicator: a disabled button showing one of two 16 x 16
// images, 0 grey (no device in use) and 1 red (device information received).
// Its tooltip and accessible name say the same in words.
class LinkIndicator : public QToolButton {
  Q_OBJECT
  Q_PROPERTY(int imageIndex READ ImageIndex WRITE SetImageIndex)

 public:
  explicit LinkIndicator(QWidget* parent = nullptr);
  int ImageIndex() const { return imageIndex_; }
  void SetImageIndex(int index);

 private:
  int imageIndex_ = -1;
};

// Draws a 16 x 16 USB plug in the given colour, at `devicePixelRatio`
// device pixels per pixel.
QPixmap UsbPlugImage(const QColor& colour, int devicePixelRatio = 1);
// The plug at 1x, 2x and 3x, so it stays sharp on scaled screens; the same
// image when disabled.
QIcon UsbPlugIcon(const QColor& colour);

}  // namespace quorvel::ui
