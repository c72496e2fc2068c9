#include "ui/ini_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

namespace quorvel::ui {

QString TrimBlanks(const QString& s) {
  qsizetype begin = 0;
  qsizetype end = s.size();
  while (begin < end && s[begin].unicode() <= u' ') ++begin;
  while (end > begin && s[end - 1].unicode() <= u' ') --end;
  return s.mid(begin, end - begin);
}

bool FileIsReadOnly(const QString& fileName) {
  const QFileInfo info(fileName);
  if (!info.exists()) return false;
  // Root passes every access() test, so the owner's write bit is what marks a
  // file as read-only for everyone.
  return !info.isWritable() || !(info.permissions() & QFileDevice::WriteOwner);
}

void TIniStorage::Load() {
  sections_.clear();
  readOnly_ = FileIsReadOnly(fileName_);
  QFile file(fileName_);
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) return;
  if (file.size() > kMaxFileSize) {
    // Not a settings file this program wrote: leave it alone entirely.
    readOnly_ = true;
    return;
  }
  Parse(file.readAll());
}

void TIniStorage::Parse(const QByteArray& text) {
  sections_.clear();
  Section* current = nullptr;
  const QString all = QString::fromUtf8(text);
  for (const QString& raw : all.split(QLatin1Char('\n'))) {
    const QString line = TrimBlanks(raw);
    if (line.isEmpty() || line.startsWith(QLatin1Char(';'))) continue;
    if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']')) && line.size() >= 2) {
      const QString name = TrimBlanks(line.mid(1, line.size() - 2));
      current = FindSection(name);
      if (current == nullptr) {
        sections_.push_back(Section{name, {}});
        current = &sections_.back();
      }
      continue;
    }
    if (current == nullptr) continue;  // lines before the first section are dropped
    Line entry;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq >= 0) {
      entry.hasKey = true;
      entry.key = TrimBlanks(line.left(eq));
      entry.value = TrimBlanks(line.mid(eq + 1));
    } else {
      entry.value = line;
    }
    current->lines.push_back(std::move(entry));
  }
}

QByteArray TIniStorage::Serialize() const {
  QString out;
  for (const Section& section : sections_) {
    out += QLatin1Char('[') + section.name + QLatin1String("]\r\n");
    for (const Line& line : section.lines) {
      out += line.hasKey ? line.key + QLatin1Char('=') + line.value : line.value;
      out += QLatin1String("\r\n");
    }
    out += QLatin1String("\r\n");
  }
  return out.toUtf8();
}

bool TIniStorage::Save() const {
  if (fileName_.isEmpty()) return false;
  if (readOnly_ || FileIsReadOnly(fileName_)) return false;
  const QFileInfo info(fileName_);
  if (!QDir().mkpath(info.absolutePath())) return false;
  QSaveFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  const QByteArray data = Serialize();
  if (file.write(data) != data.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
}

TIniStorage::Section* TIniStorage::FindSection(const QString& name) {
  for (Section& s : sections_) {
    if (s.name.compare(name, Qt::CaseInsensitive) == 0) return &s;
  }
  return nullptr;
}

const TIniStorage::Section* TIniStorage::FindSection(const QString& name) const {
  for (const Section& s : sections_) {
    if (s.name.compare(name, Qt::CaseInsensitive) == 0) return &s;
  }
  return nullptr;
}

std::optional<QString> TIniStorage::Value(const QString& section, const QString& key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  for (const Line& line : s->lines) {
    if (line.hasKey && line.key.compare(key, Qt::CaseInsensitive) == 0) return line.value;
  }
  return std::nullopt;
}

bool TIniStorage::KeyExists(const QString& section, const QString& key) const {
  return Value(section, key).has_value();
}

void TIniStorage::WriteString(const QString& section, const QString& key, const QString& value) {
  if (readOnly_) return;
  Section* s = FindSection(section);
  if (s == nullptr) {
    sections_.push_back(Section{section, {}});
    s = &sections_.back();
  }
  for (Line& line : s->lines) {
    if (line.hasKey && line.key.compare(key, Qt::CaseInsensitive) == 0) {
      line.value = value;
      return;
    }
  }
  s->lines.push_back(Line{true, key, value});
}

QStringList TIniStorage::SectionNames() const {
  QStringList names;
  for (const Section& s : sections_) names << s.name;
  return names;
}

QStringList TIniStorage::Keys(const QString& section) const {
  QStringList keys;
  if (const Section* s = FindSection(section)) {
    for (const Line& line : s->lines) {
      if (line.hasKey) keys << line.key;
    }
  }
  return keys;
}

QString DefaultSettingsPath(const QString& executableDir) {
  const QString overridePath = qEnvironmentVariable("QUORVEL_SETTINGS");
  if (!overridePath.isEmpty()) return overridePath;
  const QFileInfo dirInfo(executableDir);
  // An installed program's folder is no place for per-user settings, even
  // when root could write there.
  static const char* const systemDirs[] = {"/usr", "/bin", "/sbin", "/opt", "/snap", "/nix", "/app"};
  const QString canonical = dirInfo.canonicalFilePath();
  bool systemDir = false;
  for (const char* dir : systemDirs) {
    const QString prefix = QLatin1String(dir);
    systemDir = systemDir || canonical == prefix || canonical.startsWith(prefix + QLatin1Char('/'));
  }
  if (!executableDir.isEmpty() && dirInfo.isDir() && dirInfo.isWritable() && !systemDir) {
    return QDir(executableDir).filePath(QStringLiteral("Settings.ini"));
  }
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty() || !QDir::isAbsolutePath(config))
    config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/quorvel/Settings.ini");
}

}  // namespace quorvel::ui
