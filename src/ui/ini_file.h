// SPDX-License-Identifier: Apache-2.0
#pragma once
// In-memory INI storage: the settings file is read once into memory, edited
// there and written back once at the end of the run.
//
// Reading: each line is trimmed; empty lines and ";" comments are skipped;
// "[name]" starts a section; other lines belong to the current section (lines
// before the first section are dropped) and are split at the first "=" into a
// trimmed key and value, or kept unchanged when they have no "=". Section and
// key lookups ignore ASCII case. Only a regular file is read, and only up to
// kMaxFileSize: a FIFO or a device named as the settings file is left alone.
//
// Lines are kept as the bytes they were: sections and keys this program does
// not use are written back exactly as read, whatever their encoding. Values
// are read as UTF-8, or as Latin-1 when they are not valid UTF-8, and written
// as UTF-8.
//
// Writing: per section its "[name]" header, its lines and one empty line,
// with CR LF line ends. A file that exists and is read-only is never written
// (and keys are not even changed in memory). The file is replaced atomically
// (temporary file + rename), so a crash or a full disk never leaves half a file.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace quorvel::ui {

class TIniStorage {
 public:
  // A larger file is not read, and never written over.
  static constexpr qint64 kMaxFileSize = 1 << 20;

  TIniStorage() = default;
  explicit TIniStorage(QString fileName) : fileName_(std::move(fileName)) {}

  const QString& FileName() const { return fileName_; }

  // Reads the file into memory; a missing or unreadable file gives empty
  // contents. Remembers whether the file is read-only.
  void Load();
  // Writes the contents to the file unless it is read-only. Returns false on
  // any failure (callers ignore it: settings are a convenience).
  bool Save() const;

  void Parse(const QByteArray& text);
  QByteArray Serialize() const;

  bool ReadOnly() const { return readOnly_; }

  bool KeyExists(const QString& section, const QString& key) const;
  std::optional<QString> Value(const QString& section, const QString& key) const;
  // Replaces the value of an existing key (keeping its place) or appends the
  // key at the end of its section; a missing section is appended. Does nothing
  // for a read-only file.
  void WriteString(const QString& section, const QString& key, const QString& value);

  QStringList SectionNames() const;
  QStringList Keys(const QString& section) const;  // keys of key=value lines, in order

 private:
  struct Line {
    bool hasKey = false;
    QByteArray key;    // hasKey
    QByteArray value;  // hasKey; otherwise the whole (trimmed) line
  };
  struct Section {
    QByteArray name;
    std::vector<Line> lines;
  };
  Section* FindSection(const QByteArray& name);
  const Section* FindSection(const QByteArray& name) const;
  const Line* FindKey(const QString& section, const QString& key) const;

  QString fileName_;
  std::vector<Section> sections_;
  bool readOnly_ = false;
};

// Trims characters up to and including the blank at both ends (tabs, CR and
// other control characters too).
QString TrimBlanks(const QString& s);

// Settings file location: $QUORVEL_SETTINGS when set; else "Settings.ini"
// next to the executable of a portable copy: a writable folder that is not a
// system folder (/usr, /opt, ...) nor an installation's bin folder (such as
// ~/.local/bin) without a Settings.ini already in it; else
// $XDG_CONFIG_HOME/quorvel/Settings.ini (default ~/.config/quorvel/Settings.ini).
QString DefaultSettingsPath(const QString& executableDir);

// True when the file exists and may not be written (no owner write bit, or no
// write access for this process).
bool FileIsReadOnly(const QString& fileName);

}  // namespace quorvel::ui
