// SPDX-License-Identifier: Apache-2.0
#pragma once
// Saving and restoring the window's placement and four control properties in
// the settings storage (section "frmPelmo"). Widgets-free: the window turns
// what Qt reports into a TWindowPlacement and applies a TRestorePlan.
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>
#include <optional>

#include "ui/ini_file.h"

namespace quorvel::ui {

inline constexpr const char* kFormSection = "frmPelmo";

// Show states as stored under "ShowCmd".
enum TShowCmd : int { ShowNormal = 1, ShowMinimized = 2, ShowMaximized = 3 };

struct TWindowPlacement {
  int ShowCmd = ShowNormal;
  int Flags = 0;
  int MinX = -1, MinY = -1;  // no separate minimised/maximised positions exist under X11/Wayland
  int MaxX = -1, MaxY = -1;
  int Left = 0, Top = 0, Right = 0, Bottom = 0;  // normal (restored) frame rectangle
};

struct TScreenInfo {
  int Width = 0;
  int Height = 0;
  int PixelsPerInch = 96;
};

struct TStoredProperties {
  bool CheckBoxCloseChecked = false;
  QString OpenDialogInitialDir;
  QString OpenDialogFileName;
  int McuItemIndex = -1;
};

// What a restore decided. Steps run in order; when one fails with a
// conversion error, Error holds its text and the later fields stay unset.
struct TRestorePlan {
  bool Skipped = false;      // FormVersion < 0: nothing restored
  std::optional<int> Flags;  // placement flags to apply
  bool Move = false;         // move the window to (Left, Top)
  int Left = 0, Top = 0;
  int MinX = 0, MinY = 0, MaxX = 0, MaxY = 0;
  std::optional<TShowCmd> Show;  // normal / minimised / maximised
  std::optional<bool> CheckBoxCloseChecked;
  std::optional<QString> OpenDialogInitialDir;
  std::optional<QString> OpenDialogFileName;
  std::optional<int> McuItemIndex;
  QString Error;  // text for the application's error display, empty if none
};

// "(1920x1080)"
QString ScreenSizeSuffix(const TScreenInfo& screen);

// Strict conversions used for stored values. Integers: optional sign and
// decimal digits fitting 32 bits; an empty value is 0. Booleans: TRUE/YES/Y,
// FALSE/NO/N (ignoring case), else an integer (non-zero = true); empty = false.
std::optional<int> StrToIntStrict(const QString& text);
std::optional<bool> StrToBoolStrict(const QString& text);
// The conversion error's text: "'abc' is not a valid integer value".
QString InvalidIntegerText(const QString& text);

// Writes "FormVersion", the placement keys and the four properties, in that
// order. `appMinimised` forces ShowCmd 2.
void SaveFormState(TIniStorage& ini, const TWindowPlacement& placement, bool appMinimised,
                   const TScreenInfo& screen, const TStoredProperties& props);

// Decides what to restore from the storage. `current` is the window's
// placement as designed/shown now (its Left/Top and Flags are the fallbacks).
TRestorePlan PlanFormRestore(const TIniStorage& ini, const TWindowPlacement& current,
                             const TScreenInfo& screen);

// Where a window whose frame would cover `frame` goes so that no part of it is
// off every one of `areas` (the screens' available geometries): where it is
// when nothing sticks out, else inside the area nearest to it, size unchanged;
// a window larger than that area is aligned with its top-left corner.
QPoint KeepOnScreens(const QRect& frame, const QList<QRect>& areas);

}  // namespace quorvel::ui
