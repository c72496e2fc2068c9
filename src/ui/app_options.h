// SPDX-License-Identifier: Apache-2.0
#pragma once
// Options of the `quorvel` program that the window itself never sees: they
// are taken out of the argument list before FormCreate reads the rest.
#include <QString>
#include <QStringList>
#include <optional>

namespace quorvel::ui {

struct TAppOptions {
  QStringList simulate;   // one profile profileText per --simulate
  QString screenshot;     // --screenshot FILE: save a picture of the window and quit
  QString open;           // --open FILE: opened as if chosen with Browse, once connected
  QStringList remaining;  // handed to FormCreate (family keyword, HEX file)
  QString error;          // non-empty: the command line is unusable
  bool help = false;
  bool version = false;
};

// Accepts "--simulate KEYS", "--screenshot FILE", "--open FILE" (each also as
// "--name=value"), "--help", "--version"; every other argument is kept in
// order. A desktop launcher started without a file passes a bare "--open" at
// the end, which opens nothing. `args` excludes the program name.
TAppOptions ParseAppOptions(const QStringList& args);

QString AppUsage();
QString AppVersion();  // "quorvel 2.3.0.0"

}  // namespace quorvel::ui
