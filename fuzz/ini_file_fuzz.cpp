// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the settings file's reader and writer. Whatever the bytes:
// what was written reads back as the same file, lookups ignore ASCII case,
// the program's own keys read back what was written into them, and writing
// them changes no other section.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

#include "ui/ini_file.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

QString FlipAsciiCase(QString text) {
  for (QChar& c : text) {
    if (c.unicode() < 0x80) c = c.isUpper() ? c.toLower() : c.toUpper();
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quorvel::ui::TIniStorage;
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  TIniStorage ini;
  ini.Parse(text);
  const QByteArray saved = ini.Serialize();
  TIniStorage again;
  again.Parse(saved);
  Check(again.Serialize() == saved);

  const QString own = QStringLiteral("frmPelmo");
  QStringList others;
  for (const QString& section : ini.SectionNames()) {
    for (const QString& key : ini.Keys(section)) {
      if (!ini.KeyExists(section, key)) continue;  // a name that is not UTF-8: found by its bytes only
      Check(ini.Value(FlipAsciiCase(section), FlipAsciiCase(key)) == ini.Value(section, key));
      if (section.compare(own, Qt::CaseInsensitive) != 0)
        others << section << key << *ini.Value(section, key);
    }
  }

  // A value as a file name could be: any text without line breaks, blanks trimmed.
  const QString value = quorvel::ui::TrimBlanks(QString::fromLatin1(text.left(24)).remove(QLatin1Char('\n')));
  ini.WriteString(own, QStringLiteral("OpenDialog1_FileName"), value);
  ini.WriteString(own, QStringLiteral("FormVersion"), QStringLiteral("0"));
  TIniStorage reread;
  reread.Parse(ini.Serialize());
  Check(reread.Value(own, QStringLiteral("OpenDialog1_FileName")) == value);
  Check(reread.Value(own, QStringLiteral("FormVersion")) == QStringLiteral("0"));
  for (qsizetype i = 0; i + 2 < others.size(); i += 3)
    Check(reread.Value(others[i], others[i + 1]) == others[i + 2]);
  return 0;
}
