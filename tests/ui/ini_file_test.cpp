// SPDX-License-Identifier: Apache-2.0
// The settings storage: reading rules, writing format, read-only files,
// atomic replacement and the file's location.
#include "ui/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace quorvel::ui {
namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

TEST(IniStorageReading, FollowsTheLineRules) {
  TIniStorage ini;
  ini.Parse(
      "orphan=dropped before any section\r\n"
      "  [ frmPelmo ]  \r\n"
      "; a comment\r\n"
      "\r\n"
      "   Key One  =  a = b  \r\n"
      "no equals sign here\n"
      "\tTabbed=\tx\t\n"
      "[Other]\n"
      "k=v\n");
  EXPECT_EQ(ini.SectionNames(), QStringList({"frmPelmo", "Other"}));
  EXPECT_EQ(ini.Value("FRMPELMO", "key one"), QString("a = b")) << "first '=' splits; both parts trimmed";
  EXPECT_EQ(ini.Value("frmpelmo", "TABBED"), QString("x"));
  EXPECT_FALSE(ini.Value("frmPelmo", "orphan"));
  EXPECT_FALSE(ini.Value("frmPelmo", "no equals sign here")) << "a line without '=' is no key";
  EXPECT_FALSE(ini.Value("Missing", "k"));
  EXPECT_EQ(ini.Value("other", "K"), QString("v"));
}

TEST(IniStorageReading, EmptyValueAndFirstDuplicateWin) {
  TIniStorage ini;
  ini.Parse("[s]\nA=\na=second\n");
  EXPECT_EQ(ini.Value("s", "a"), QString(""));
  ini.WriteString("s", "A", "new");
  EXPECT_EQ(ini.Serialize(), QByteArray("[s]\r\nA=new\r\na=second\r\n\r\n"));
}

TEST(IniStorageWriting, RoundTripKeepsForeignLinesButNotComments) {
  TIniStorage ini;
  ini.Parse("top=x\n;c\n[frmPelmo]\nFlags=0\nloose line\n[Mine]\nz=1\n");
  ini.WriteString("FRMPELMO", "flags", "5");   // replaced in place, original spelling kept
  ini.WriteString("frmPelmo", "NewKey", "v");  // appended to its section
  ini.WriteString("Fresh", "a", "b");          // new section at the end
  EXPECT_EQ(ini.Serialize(), QByteArray("[frmPelmo]\r\nFlags=5\r\nloose line\r\nNewKey=v\r\n\r\n"
                                        "[Mine]\r\nz=1\r\n\r\n"
                                        "[Fresh]\r\na=b\r\n\r\n"));
}

TEST(IniStorageWriting, ForeignSectionsAndKeysComeBackByteForByte) {
  const QByteArray foreign = "[Oth\xE9r]\r\nk\xE9y=v\xE9l \xFF\r\nloose \xE9\r\n\r\n";
  TIniStorage ini;
  ini.Parse("[frmPelmo]\nOpenDialog1_FileName=/tmp/caf\xE9.hex\n" + foreign);
  EXPECT_EQ(ini.Value("frmPelmo", "OpenDialog1_FileName"), QString::fromUtf8("/tmp/caf\xC3\xA9.hex"))
      << "a value that is not UTF-8 reads as Latin-1";
  ini.WriteString("frmPelmo", "FormVersion", "0");
  EXPECT_EQ(ini.Serialize(),
            "[frmPelmo]\r\nOpenDialog1_FileName=/tmp/caf\xE9.hex\r\nFormVersion=0\r\n\r\n" + foreign);
}

class IniStorageFile : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString Path(const QString& name = "Settings.ini") const { return dir.filePath(name); }
};

TEST_F(IniStorageFile, MissingFileGivesEmptyContentsAndIsCreatedWithItsFolder) {
  TIniStorage ini(dir.filePath("sub/deeper/Settings.ini"));
  ini.Load();
  EXPECT_TRUE(ini.SectionNames().isEmpty());
  EXPECT_FALSE(ini.ReadOnly());
  ini.WriteString("frmPelmo", "FormVersion", "0");
  EXPECT_TRUE(ini.Save());
  EXPECT_EQ(ReadAll(ini.FileName()), QByteArray("[frmPelmo]\r\nFormVersion=0\r\n\r\n"));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0) << "no temporary left behind";
  EXPECT_EQ(QDir(dir.filePath("sub/deeper")).entryList(QDir::Files | QDir::Hidden),
            QStringList("Settings.ini"));
}

TEST_F(IniStorageFile, ReadOnlyFileIsReadButNeverWritten) {
  const QByteArray original = "[frmPelmo]\nCheckBoxClose_Checked=yes\n";
  WriteAll(Path(), original);
  ASSERT_TRUE(QFile::setPermissions(Path(), QFileDevice::ReadOwner | QFileDevice::ReadGroup));
  TIniStorage ini(Path());
  ini.Load();
  EXPECT_TRUE(ini.ReadOnly());
  EXPECT_EQ(ini.Value("frmPelmo", "CheckBoxClose_Checked"), QString("yes"));
  ini.WriteString("frmPelmo", "CheckBoxClose_Checked", "FALSE");
  EXPECT_EQ(ini.Value("frmPelmo", "CheckBoxClose_Checked"), QString("yes")) << "memory untouched as well";
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ(ReadAll(Path()), original);
}

TEST_F(IniStorageFile, FileMadeReadOnlyDuringTheRunIsNotReplaced) {
  WriteAll(Path(), "[s]\na=1\n");
  TIniStorage ini(Path());
  ini.Load();
  ini.WriteString("s", "a", "2");
  ASSERT_TRUE(QFile::setPermissions(Path(), QFileDevice::ReadOwner));
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ(ReadAll(Path()), QByteArray("[s]\na=1\n"));
}

// Only a normal user sees this: a file its owner may write but this user may not
// (tests/scripts/as_nobody.sh hands one over). Root passes every access check.
TEST(IniStoragePermission, ReadOnlyForThisUserThoughItsOwnerMayWrite) {
  const QString path = qEnvironmentVariable("QUORVEL_FOREIGN_FILE");
  if (::geteuid() == 0 || path.isEmpty()) GTEST_SKIP() << "needs a normal user and another user's file";
  const QByteArray before = ReadAll(path);
  TIniStorage ini(path);
  ini.Load();
  EXPECT_TRUE(ini.ReadOnly());
  EXPECT_EQ(ini.Value("s", "a"), QString("1"));
  ini.WriteString("s", "a", "2");
  EXPECT_EQ(ini.Value("s", "a"), QString("1"));
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ(ReadAll(path), before);
}

TEST_F(IniStorageFile, OversizedFileIsNeitherReadNorReplaced) {
  QByteArray big("[frmPelmo]\nFormVersion=0\n");
  big.append(QByteArray(TIniStorage::kMaxFileSize, 'x'));
  WriteAll(Path(), big);
  TIniStorage ini(Path());
  ini.Load();
  EXPECT_TRUE(ini.SectionNames().isEmpty());
  ini.WriteString("frmPelmo", "FormVersion", "0");
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ(QFileInfo(Path()).size(), big.size());
}

TEST_F(IniStorageFile, FifoOrDeviceIsNeitherReadNorReplaced) {
  ASSERT_EQ(::mkfifo(Path().toLocal8Bit().constData(), 0600), 0);
  for (const QString& name : {Path(), QString("/dev/zero")}) {
    TIniStorage ini(name);
    ini.Load();  // returns at once: no writer is waited for, no endless read
    EXPECT_TRUE(ini.SectionNames().isEmpty()) << name.toStdString();
    EXPECT_TRUE(ini.ReadOnly()) << name.toStdString();
    EXPECT_FALSE(ini.Save()) << name.toStdString();
  }
  struct stat st {};
  ASSERT_EQ(::lstat(Path().toLocal8Bit().constData(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "still the FIFO";
}

// A full disk made without root: a file size limit, its signal ignored.
TEST_F(IniStorageFile, FailedWriteKeepsTheOldFile) {
  WriteAll(Path(), "[s]\na=1\n");
  TIniStorage ini(Path());
  ini.Load();
  ini.WriteString("s", "long", QString(64, 'x'));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 16;
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved16 = ini.Save();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved16);
  EXPECT_EQ(ReadAll(Path()), QByteArray("[s]\na=1\n"));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary left behind";
}

TEST_F(IniStorageFile, UnwritableLocationFailsQuietly) {
  WriteAll(Path("blocker"), "x");  // a file where the folder would have to be
  TIniStorage ini(dir.filePath("blocker/Settings.ini"));
  ini.Load();
  ini.WriteString("s", "a", "1");
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ(ReadAll(Path("blocker")), QByteArray("x"));
}

TEST(SettingsLocation, OverrideThenExecutableFolderThenXdgConfig) {
  QTemporaryDir dir;
  const QByteArray savedOverride = qgetenv("QUORVEL_SETTINGS");
  const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");

  qputenv("QUORVEL_SETTINGS", dir.filePath("forced.ini").toUtf8());
  EXPECT_EQ(DefaultSettingsPath(dir.path()), dir.filePath("forced.ini"));

  qunsetenv("QUORVEL_SETTINGS");
  EXPECT_EQ(DefaultSettingsPath(dir.path()), dir.filePath("Settings.ini"));

  qputenv("XDG_CONFIG_HOME", dir.filePath("cfg").toUtf8());
  // Installed under a prefix of the user's own (~/.local/bin): XDG, unless
  // a Settings.ini put there makes the copy portable.
  ASSERT_TRUE(QDir(dir.path()).mkpath("prefix/bin"));
  EXPECT_EQ(DefaultSettingsPath(dir.filePath("prefix/bin")), dir.filePath("cfg/quorvel/Settings.ini"));
  WriteAll(dir.filePath("prefix/bin/Settings.ini"), "");
  EXPECT_EQ(DefaultSettingsPath(dir.filePath("prefix/bin")), dir.filePath("prefix/bin/Settings.ini"));

  EXPECT_EQ(DefaultSettingsPath(dir.filePath("no-such-folder")), dir.filePath("cfg/quorvel/Settings.ini"));
  EXPECT_EQ(DefaultSettingsPath("/usr/bin"), dir.filePath("cfg/quorvel/Settings.ini"))
      << "an installed program's folder, even when writable (root)";
  qputenv("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(DefaultSettingsPath(dir.filePath("no-such-folder")),
            QDir::homePath() + "/.config/quorvel/Settings.ini");

  if (savedOverride.isNull())
    qunsetenv("QUORVEL_SETTINGS");
  else
    qputenv("QUORVEL_SETTINGS", savedOverride);
  if (savedXdg.isNull())
    qunsetenv("XDG_CONFIG_HOME");
  else
    qputenv("XDG_CONFIG_HOME", savedXdg);
}

}  // namespace
}  // namespace quorvel::ui
