#pragma once
// Options of the `quorvel` program that the window itself never sees: they
// are taken out of the argument list before FormCreate reads the rest.
#include <QString>
#include <QStringList>
#include <optional>

namespace quorvel::ui {

struct TAppOptions {
  QStringList simulate;   // one profile spec per --simulate
  QString screenshot;     // --screenshot FILE: save a picture of the window and quit
  QStringList remaining;  // handed to FormCreate (family keyword, HEX file)
  QString error;          // non-empty: the command line is unusable
  bool help = false;
};

// Accepts "--simulate SPEC", "--simulate=SPEC", "--screenshot FILE",
// "--screenshot=FILE", "--help"; every other argument is kept in order.
// `args` excludes the program name.
TAppOptions ParseAppOptions(const QStringList& args);

QString AppUsage();

}  // namespace quorvel::ui
