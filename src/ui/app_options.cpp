// SPDX-License-Identifier: Apache-2.0
#include "ui/app_options.h"

#include "core/families.h"

namespace quorvel::ui {

namespace {

// The family keywords the first start-up argument may hold, in the order they
// are tried, wrapped under the argument's description.
QString FamilyKeywordLines() {
  constexpr qsizetype kIndent = 21;
  constexpr qsizetype kWidth = 78;
  QString lines;
  QString line = QString(kIndent, QLatin1Char(' ')) + QLatin1Char('(');
  bool first = true;
  for (const FamilyFacts& family : kFamilyTable) {
    if (family.argumentKeyword.empty()) continue;
    const QString word = QString::fromLatin1(family.argumentKeyword.data(),
                                             static_cast<qsizetype>(family.argumentKeyword.size()));
    if (!first && line.size() + 2 + word.size() + 1 > kWidth) {
      lines += line + QStringLiteral(",\n");
      line = QString(kIndent, QLatin1Char(' ')) + word;
    } else {
      line += (first ? QString() : QStringLiteral(", ")) + word;
    }
    first = false;
  }
  return lines + line + QStringLiteral(")\n");
}

}  // namespace

TAppOptions ParseAppOptions(const QStringList& args) {
  TAppOptions options;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    auto takeValue = [&](const QString& name, QString& value) {
      if (arg == name) {
        if (i + 1 >= args.size()) {
          options.error = QStringLiteral("option %1 needs a value").arg(name);
          return true;
        }
        value = args[++i];
        return true;
      }
      if (arg.startsWith(name + QLatin1Char('='))) {
        value = arg.mid(name.size() + 1);
        return true;
      }
      return false;
    };
    QString value;
    if (takeValue(QStringLiteral("--simulate"), value)) {
      if (options.error.isEmpty()) options.simulate << value;
    } else if (takeValue(QStringLiteral("--screenshot"), value)) {
      if (options.error.isEmpty()) options.screenshot = value;
    } else if (arg == QLatin1String("--open") && i + 1 == args.size()) {
      // "Exec=quorvel --open %f" started without a file: just the window.
    } else if (takeValue(QStringLiteral("--open"), value)) {
      options.open = value;
    } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      options.help = true;
    } else if (arg == QLatin1String("--version")) {
      options.version = true;
    } else {
      options.remaining << arg;
    }
    if (!options.error.isEmpty()) break;
  }
  return options;
}

QString AppUsage() {
  return QStringLiteral(
             "Usage: quorvel [OPTIONS] [FAMILY HEXFILE]\n"
             "  or:  quorvel [OPTIONS] --open HEXFILE\n"
             "\n"
             "Uploads microcontroller firmware through a USB HID bootloader, in a window.\n"
             "\n"
             "Arguments:\n"
             "  FAMILY HEXFILE     open HEXFILE at start-up for a family keyword\n") +
         FamilyKeywordLines() +
         QStringLiteral(
             "\n"
             "Options:\n"
             "  --open HEXFILE     open HEXFILE as if chosen with Browse, once connected\n"
             "                     (what a file manager's \"Open with\" runs)\n"
             "  --simulate KEYS    run with a simulated bootloader attached instead of\n"
             "                     real devices; KEYS is key=value[,key=value...] with keys\n"
             "                     family, revision, boot-start, program-start, size, erase,\n"
             "                     write, description, product, serial, pace, drop, nak,\n"
             "                     unplug, plug-after (e.g. --simulate family=STM32F4XX)\n"
             "  --screenshot FILE  save a PNG of the window once it is up, then quit\n"
             "  -h, --help         show this help and exit\n"
             "  --version          show the version and exit\n");
}

QString AppVersion() { return QStringLiteral("quorvel " QUORVEL_VERSION_STRING); }

}  // namespace quorvel::ui
