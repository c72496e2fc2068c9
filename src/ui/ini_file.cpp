// SPDX-License-Identifier: Apache-2.0
#include "ui/ini_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "engine/install_layout.h"
#include "io/display_text.h"
#include "io/input_file.h"
#include "io/output_file.h"

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

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

QByteArray TrimBytes(const QByteArray& s) {
  qsizetype begin = 0;
  qsizetype end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.mid(begin, end - begin);
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringAsciiCase(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size()) return false;
  for (qsizetype i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

QString Decode(const QByteArray& bytes) {
  return QString::fromStdString(io::Utf8OrLatin1(std::string_view(bytes.constData(), bytes.size())));
}

}  // namespace

void TIniStorage::Load() {
  sections_.clear();
  readOnly_ = FileIsReadOnly(fileName_);
  if (fileName_.isEmpty()) return;
  const io::FileContents file =
      io::ReadSmallFile(QFile::encodeName(fileName_).toStdString(), static_cast<std::size_t>(kMaxFileSize));
  switch (file.check.status) {
    case io::InputStatus::Ok:
      Parse(QByteArray::fromStdString(file.data));
      return;
    case io::InputStatus::Missing:
    case io::InputStatus::Failed:
      return;
    case io::InputStatus::NotRegular:
    case io::InputStatus::TooLarge:
      // Not a settings file this program wrote: leave it alone entirely.
      readOnly_ = true;
      return;
  }
}

void TIniStorage::Parse(const QByteArray& text) {
  sections_.clear();
  Section* current = nullptr;
  for (const QByteArray& raw : text.split('\n')) {
    const QByteArray line = TrimBytes(raw);
    if (line.isEmpty() || line.startsWith(';')) continue;
    if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2) {
      const QByteArray name = TrimBytes(line.mid(1, line.size() - 2));
      current = FindSection(name);
      if (current == nullptr) {
        sections_.push_back(Section{name, {}});
        current = &sections_.back();
      }
      continue;
    }
    if (current == nullptr) continue;  // lines before the first section are dropped
    Line entry;
    const qsizetype eq = line.indexOf('=');
    if (eq >= 0) {
      entry.hasKey = true;
      entry.key = TrimBytes(line.left(eq));
      entry.value = TrimBytes(line.mid(eq + 1));
    } else {
      entry.value = line;
    }
    current->lines.push_back(std::move(entry));
  }
}

QByteArray TIniStorage::Serialize() const {
  QByteArray out;
  for (const Section& section : sections_) {
    out += '[' + section.name + "]\r\n";
    for (const Line& line : section.lines) {
      out += line.hasKey ? line.key + '=' + line.value : line.value;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

bool TIniStorage::Save() const {
  if (fileName_.isEmpty()) return false;
  if (readOnly_ || FileIsReadOnly(fileName_)) return false;
  const QFileInfo info(fileName_);
  if (!QDir().mkpath(info.absolutePath())) return false;
  io::OutputFile file(QFile::encodeName(fileName_).toStdString());
  const QByteArray data = Serialize();
  return file.Open() && file.Write(std::string_view(data.constData(), data.size())) && file.Commit();
}

TIniStorage::Section* TIniStorage::FindSection(const QByteArray& name) {
  for (Section& s : sections_) {
    if (EqualIgnoringAsciiCase(s.name, name)) return &s;
  }
  return nullptr;
}

const TIniStorage::Section* TIniStorage::FindSection(const QByteArray& name) const {
  return const_cast<TIniStorage*>(this)->FindSection(name);
}

const TIniStorage::Line* TIniStorage::FindKey(const QString& section, const QString& key) const {
  const Section* s = FindSection(section.toUtf8());
  if (s == nullptr) return nullptr;
  const QByteArray wanted = key.toUtf8();
  for (const Line& line : s->lines) {
    if (line.hasKey && EqualIgnoringAsciiCase(line.key, wanted)) return &line;
  }
  return nullptr;
}

std::optional<QString> TIniStorage::Value(const QString& section, const QString& key) const {
  const Line* line = FindKey(section, key);
  if (line == nullptr) return std::nullopt;
  return Decode(line->value);
}

bool TIniStorage::KeyExists(const QString& section, const QString& key) const {
  return FindKey(section, key) != nullptr;
}

void TIniStorage::WriteString(const QString& section, const QString& key, const QString& value) {
  if (readOnly_) return;
  if (Line* line = const_cast<Line*>(FindKey(section, key))) {
    line->value = value.toUtf8();
    return;
  }
  Section* s = FindSection(section.toUtf8());
  if (s == nullptr) {
    sections_.push_back(Section{section.toUtf8(), {}});
    s = &sections_.back();
  }
  s->lines.push_back(Line{true, key.toUtf8(), value.toUtf8()});
}

QStringList TIniStorage::SectionNames() const {
  QStringList names;
  for (const Section& s : sections_) names << Decode(s.name);
  return names;
}

QStringList TIniStorage::Keys(const QString& section) const {
  QStringList keys;
  if (const Section* s = FindSection(section.toUtf8())) {
    for (const Line& line : s->lines) {
      if (line.hasKey) keys << Decode(line.key);
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
  // Nor is a user's own bin folder (~/.local/bin, where `cmake --install
  // --prefix ~/.local` puts the program), unless a Settings.ini is already
  // there: that makes any copy portable on purpose.
  const QString beside = QDir(executableDir).filePath(QStringLiteral("Settings.ini"));
  const bool installed = !canonical.isEmpty() && !InstallPrefix(canonical.toStdString()).empty();
  if (!executableDir.isEmpty() && dirInfo.isDir() && dirInfo.isWritable() && !systemDir &&
      (!installed || QFileInfo::exists(beside))) {
    return beside;
  }
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty() || !QDir::isAbsolutePath(config))
    config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/quorvel/Settings.ini");
}

}  // namespace quorvel::ui
