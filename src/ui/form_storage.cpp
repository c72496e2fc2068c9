// SPDX-License-Identifier: Apache-2.0
#include "ui/form_storage.h"

#include <QRegion>
#include <QStringList>
#include <algorithm>
#include <limits>

namespace quorvel::ui {

namespace {

const QString kSection = QString::fromLatin1(kFormSection);

QString Join4(int a, int b, int c, int d) {
  return QStringLiteral("%1,%2,%3,%4").arg(a).arg(b).arg(c).arg(d);
}

// Value of the screen-size key when present, else of the plain key.
std::optional<QString> PositionValue(const TIniStorage& ini, const QString& key, const TScreenInfo& screen) {
  if (auto v = ini.Value(kSection, key + ScreenSizeSuffix(screen))) return v;
  return ini.Value(kSection, key);
}

// Part `index` of a comma-separated list, when present and an integer.
std::optional<int> PartAt(const QString& list, int index) {
  const QStringList parts = list.split(QLatin1Char(','));
  if (index >= parts.size()) return std::nullopt;
  const QString part = TrimBlanks(parts[index]);
  if (part.isEmpty()) return std::nullopt;
  return StrToIntStrict(part);
}

struct ConversionError {
  QString text;
};

int ReadIntOrThrow(const TIniStorage& ini, const QString& key, int fallback) {
  const auto v = ini.Value(kSection, key);
  if (!v) return fallback;
  const auto n = StrToIntStrict(*v);
  if (!n) throw ConversionError{InvalidIntegerText(*v)};
  return *n;
}

}  // namespace

QString ScreenSizeSuffix(const TScreenInfo& screen) {
  return QStringLiteral("(%1x%2)").arg(screen.Width).arg(screen.Height);
}

std::optional<int> StrToIntStrict(const QString& text) {
  const QString t = TrimBlanks(text);
  if (t.isEmpty()) return 0;
  qsizetype i = 0;
  bool negative = false;
  if (t[0] == QLatin1Char('-') || t[0] == QLatin1Char('+')) {
    negative = t[0] == QLatin1Char('-');
    i = 1;
  }
  if (i >= t.size()) return std::nullopt;
  long long value = 0;
  for (; i < t.size(); ++i) {
    const char16_t c = t[i].unicode();
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
    if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<bool> StrToBoolStrict(const QString& text) {
  const QString t = TrimBlanks(text);
  if (t.isEmpty()) return false;
  for (const char* word : {"TRUE", "YES", "Y"}) {
    if (t.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) return true;
  }
  for (const char* word : {"FALSE", "NO", "N"}) {
    if (t.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) return false;
  }
  if (const auto n = StrToIntStrict(t)) return *n != 0;
  return std::nullopt;
}

QString InvalidIntegerText(const QString& text) {
  return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

void SaveFormState(TIniStorage& ini, const TWindowPlacement& placement, bool appMinimised,
                   const TScreenInfo& screen, const TStoredProperties& props) {
  const QString suffix = ScreenSizeSuffix(screen);
  const int showCmd = appMinimised ? int{ShowMinimized} : placement.ShowCmd;
  const QString minMax = Join4(placement.MinX, placement.MinY, placement.MaxX, placement.MaxY);
  const QString norm = Join4(placement.Left, placement.Top, placement.Right, placement.Bottom);
  ini.WriteString(kSection, QStringLiteral("FormVersion"), QStringLiteral("0"));
  ini.WriteString(kSection, QStringLiteral("ShowCmd"), QString::number(showCmd));
  ini.WriteString(kSection, QStringLiteral("Flags"), QString::number(placement.Flags));
  ini.WriteString(kSection, QStringLiteral("PixelsPerInch"), QString::number(screen.PixelsPerInch));
  ini.WriteString(kSection, QStringLiteral("MinMaxPos") + suffix, minMax);
  ini.WriteString(kSection, QStringLiteral("MinMaxPos"), minMax);
  ini.WriteString(kSection, QStringLiteral("NormPos") + suffix, norm);
  ini.WriteString(kSection, QStringLiteral("NormPos"), norm);
  ini.WriteString(kSection, QStringLiteral("CheckBoxClose_Checked"),
                  props.CheckBoxCloseChecked ? QStringLiteral("TRUE") : QStringLiteral("FALSE"));
  ini.WriteString(kSection, QStringLiteral("OpenDialog1_InitialDir"), props.OpenDialogInitialDir);
  ini.WriteString(kSection, QStringLiteral("OpenDialog1_FileName"), props.OpenDialogFileName);
  ini.WriteString(kSection, QStringLiteral("MCUComboBox_ItemIndex"), QString::number(props.McuItemIndex));
}

TRestorePlan PlanFormRestore(const TIniStorage& ini, const TWindowPlacement& current,
                             const TScreenInfo& screen) {
  TRestorePlan plan;
  try {
    if (ReadIntOrThrow(ini, QStringLiteral("FormVersion"), 0) < 0) {
      plan.Skipped = true;
      return plan;
    }
    plan.Flags = ReadIntOrThrow(ini, QStringLiteral("Flags"), current.Flags);

    const auto minMax = PositionValue(ini, QStringLiteral("MinMaxPos"), screen);
    const auto norm = PositionValue(ini, QStringLiteral("NormPos"), screen);
    if (minMax) {
      plan.MinX = PartAt(*minMax, 0).value_or(0);
      plan.MinY = PartAt(*minMax, 1).value_or(0);
      plan.MaxX = PartAt(*minMax, 2).value_or(0);
      plan.MaxY = PartAt(*minMax, 3).value_or(0);
    }
    plan.Left = current.Left;
    plan.Top = current.Top;
    if (norm) {
      plan.Left = PartAt(*norm, 0).value_or(current.Left);
      plan.Top = PartAt(*norm, 1).value_or(current.Top);
    }
    if (minMax || norm) {
      // Positions only make sense at the scale they were taken at.
      plan.Move = ReadIntOrThrow(ini, QStringLiteral("PixelsPerInch"), 0) == screen.PixelsPerInch;
    }

    switch (ReadIntOrThrow(ini, QStringLiteral("ShowCmd"), 0)) {
      case 2:
      case 6:
      case 7:
        plan.Show = ShowMinimized;
        break;
      case 3:
        plan.Show = ShowMaximized;
        break;
      default:
        plan.Show = ShowNormal;
        break;
    }
  } catch (const ConversionError& e) {
    plan.Error = e.text;
    return plan;
  }

  // A property that cannot be converted keeps its designed value, silently.
  if (const auto v = ini.Value(kSection, QStringLiteral("CheckBoxClose_Checked"))) {
    plan.CheckBoxCloseChecked = StrToBoolStrict(*v);
  }
  plan.OpenDialogInitialDir = ini.Value(kSection, QStringLiteral("OpenDialog1_InitialDir"));
  plan.OpenDialogFileName = ini.Value(kSection, QStringLiteral("OpenDialog1_FileName"));
  if (const auto v = ini.Value(kSection, QStringLiteral("MCUComboBox_ItemIndex"))) {
    plan.McuItemIndex = StrToIntStrict(*v);
  }
  return plan;
}

namespace {

// Distance between two rectangles: 0 when they overlap or touch.
qint64 Gap(const QRect& a, const QRect& b) {
  const qint64 dx = std::max<qint64>({0, qint64{b.left()} - a.right(), qint64{a.left()} - b.right()});
  const qint64 dy = std::max<qint64>({0, qint64{b.top()} - a.bottom(), qint64{a.top()} - b.bottom()});
  return dx * dx + dy * dy;
}

qint64 Overlap(const QRect& a, const QRect& b) {
  const QRect both = a.intersected(b);
  return both.isEmpty() ? 0 : qint64{both.width()} * both.height();
}

}  // namespace

QPoint KeepOnScreens(const QRect& frame, const QList<QRect>& areas) {
  QRegion visible;
  for (const QRect& area : areas) visible += area;
  if (areas.isEmpty() || QRegion(frame).subtracted(visible).isEmpty()) return frame.topLeft();
  // Nearest: the area holding most of the window, else the closest one.
  const QRect* nearest = &areas.front();
  for (const QRect& area : areas) {
    const qint64 overlap = Overlap(frame, area), best = Overlap(frame, *nearest);
    if (overlap > best || (overlap == best && best == 0 && Gap(frame, area) < Gap(frame, *nearest))) {
      nearest = &area;
    }
  }
  const QRect& to = *nearest;
  const int x = std::max(to.left(), std::min(frame.left(), to.left() + to.width() - frame.width()));
  const int y = std::max(to.top(), std::min(frame.top(), to.top() + to.height() - frame.height()));
  return {x, y};
}

}  // namespace quorvel::ui
