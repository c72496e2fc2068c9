// SPDX-License-Identifier: Apache-2.0
#include "ui/controls.h"

#include <QIcon>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTextDocumentFragment>

namespace quorvel::ui {

void WrapButton::paintEvent(QPaintEvent* /*event*/) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  const QString caption = option.text;
  option.text.clear();
  painter.drawControl(QStyle::CE_PushButton, option);
  const QRect area =
      style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).adjusted(1, 0, -1, 0);
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  const QString wrapped = WrapCaption(caption, fontMetrics(), area.width());
  if (mnemonic_.isNull()) {
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, wrapped);
    return;
  }
  const bool underline = style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this) != 0;
  painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap | (underline ? Qt::TextShowMnemonic : Qt::TextHideMnemonic),
                   MnemonicCaption(wrapped, mnemonic_));
}

void WrapButton::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (!event->isAutoRepeat()) click();
    event->accept();
    return;
  }
  QPushButton::keyPressEvent(event);
}

QString MnemonicCaption(const QString& caption, QChar letter) {
  QString marked = caption;
  marked.replace(QLatin1Char('&'), QLatin1String("&&"));
  if (letter.isNull()) return marked;
  for (qsizetype i = 0; i < marked.size(); ++i) {
    if (marked[i] == QLatin1Char('&')) {
      ++i;  // a doubled "&"
    } else if (marked[i].toLower() == letter.toLower()) {
      marked.insert(i, QLatin1Char('&'));
      break;
    }
  }
  return marked;
}

QString WrapCaption(const QString& caption, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(caption) <= width) return caption;
  // A run of several blanks marks where the caption is meant to break.
  qsizetype bestAt = -1;
  qsizetype bestLength = 1;
  for (qsizetype i = 0; i < caption.size();) {
    if (caption[i] != QLatin1Char(' ')) {
      ++i;
      continue;
    }
    qsizetype j = i;
    while (j < caption.size() && caption[j] == QLatin1Char(' ')) ++j;
    if (j - i > bestLength) {
      bestAt = i;
      bestLength = j - i;
    }
    i = j;
  }
  if (bestAt < 0) return caption;  // ordinary word wrap
  return caption.left(bestAt) + QLatin1Char('\n') + caption.mid(bestAt + bestLength);
}

DisplayComboBox::DisplayComboBox(QWidget* parent) : QComboBox(parent) {
  setEnabled(false);
  QPalette p = palette();
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  setPalette(p);
}

QString PlainToolTip(const QString& text) {
  if (text.isEmpty()) return {};
  return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

void DisplayComboBox::SetItems(const QStringList& items, int itemIndex) {
  clear();
  for (const QString& item : items) addItem(item);
  setCurrentIndex(itemIndex >= 0 && itemIndex < count() ? itemIndex : -1);
  setToolTip(PlainToolTip(currentText()));
  // Screen readers speak the description as it is: the text, not the tooltip's markup.
  setAccessibleDescription(currentText());
}

namespace {
constexpr QChar kBreak(0x200B);    // zero width space: a line may break here
constexpr QChar kNoBreak(0x2060);  // word joiner: a line must not break here
}  // namespace

QString WithPathBreaks(const QString& line) {
  QString out;
  out.reserve(line.size() * 2);
  for (qsizetype i = 0; i < line.size();) {
    qsizetype end = i;
    while (end < line.size() && !line[end].isSpace()) ++end;
    const QStringView word = QStringView(line).mid(i, end - i);
    if (!word.contains(QLatin1Char('/'))) {
      out += word;
    } else {
      // Only after a "/": the usual rules would also break after a "-" in a
      // folder name, and never between "/" and a digit.
      for (qsizetype k = 0; k < word.size(); ++k) {
        out += word[k];
        if (k + 1 < word.size()) out += word[k] == QLatin1Char('/') ? kBreak : kNoBreak;
      }
    }
    for (; end < line.size() && line[end].isSpace(); ++end) out += line[end];
    i = end;
  }
  return out;
}

QString WithoutPathBreaks(QString text) { return text.remove(kBreak).remove(kNoBreak); }

QString LogMemo::Text() const { return WithoutPathBreaks(toPlainText()); }

QMimeData* LogMemo::createMimeDataFromSelection() const {
  auto* mime = new QMimeData;
  mime->setText(WithoutPathBreaks(textCursor().selection().toPlainText()));
  return mime;
}

void DisplayComboBox::paintEvent(QPaintEvent* /*event*/) {
  QStylePainter painter(this);
  QStyleOptionComboBox option;
  initStyleOption(&option);
  const QString text = option.currentText;
  option.currentText.clear();
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  const QRect area =
      style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
  painter.setPen(QColor(0x80, 0x80, 0x80));
  painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine,
                   fontMetrics().elidedText(text, Qt::ElideRight, area.width()));
}

StatusBarPanel::StatusBarPanel(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(false);
  setAccessibleName(QStringLiteral("Status bar"));
}

void StatusBarPanel::SetText(const QString& text) {
  text_ = text;
  setAccessibleDescription(text);
  update();
}

void StatusBarPanel::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QRect panel = rect();
  painter.fillRect(panel, palette().brush(QPalette::Window));
  painter.setFont(font());
  painter.setPen(QColor(0x80, 0x80, 0x80));
  painter.setClipRect(panel);
  const QFontMetrics metrics(font());
  painter.drawText(QPoint(panel.left() + 2, panel.top() + 4 + metrics.ascent()), text_);
}

QPixmap UsbPlugImage(const QColor& colour, int devicePixelRatio) {
  QPixmap image(16 * devicePixelRatio, 16 * devicePixelRatio);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawRect(0, 7, 3, 2);  // cable
  p.drawRect(3, 4, 6, 8);  // moulded body
  p.setBrush(colour.darker(130));
  p.drawRect(9, 5, 7, 6);  // metal shell
  p.setBrush(Qt::white);
  p.drawRect(11, 6, 2, 1);  // contact windows
  p.drawRect(11, 9, 2, 1);
  p.setBrush(colour.lighter(130));
  p.drawRect(4, 5, 1, 6);  // highlight on the body
  return image;
}

QIcon UsbPlugIcon(const QColor& colour) {
  QIcon icon;
  for (int ratio = 1; ratio <= 3; ++ratio) {
    const QPixmap image = UsbPlugImage(colour, ratio);
    // The link indicator is disabled on purpose; its image must not be greyed out.
    icon.addPixmap(image, QIcon::Normal);
    icon.addPixmap(image, QIcon::Disabled);
  }
  return icon;
}

LinkIndicator::LinkIndicator(QWidget* parent) : QToolButton(parent) {
  setEnabled(false);
  setAutoRaise(true);
  setIconSize(QSize(16, 16));
  SetImageIndex(0);
}

void LinkIndicator::SetImageIndex(int index) {
  if (index == imageIndex_) return;
  imageIndex_ = index;
  const bool attached = index == 1;
  setIcon(UsbPlugIcon(attached ? QColor(0xE0, 0x10, 0x10) : QColor(0xA0, 0xA0, 0xA0)));
  // The colour alone says nothing to a screen reader or a colour-blind user.
  const QString state =
      attached ? QStringLiteral("USB link: attached") : QStringLiteral("USB link: not attached");
  setToolTip(state);
  setAccessibleName(state);
}

}  // namespace quorvel::ui
