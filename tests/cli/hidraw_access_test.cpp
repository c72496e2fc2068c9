// SPDX-License-Identifier: Apache-2.0
#include "cli/hidraw_access.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <map>
#include <string>

#include "engine/install_layout.h"

namespace quorvel::cli {
namespace {

void Touch(const QString& path, const QByteArray& content = {}) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content);
}

TEST(HidrawAccess, ReportsOnlyHidrawNodesRefusedForPermissionWithTheirNames) {
  QTemporaryDir dev;
  QTemporaryDir sys;
  for (const char* name : {"hidraw0", "hidraw1", "hidraw2", "hidraw10", "ttyS0"}) Touch(dev.filePath(name));
  ASSERT_TRUE(QDir(sys.path()).mkpath("hidraw1/device"));
  Touch(sys.filePath("hidraw1/device/uevent"),
        "DRIVER=hid-generic\nHID_NAME=Acme USB HID Bootloader\nHID_UNIQ=\n");

  const std::map<std::string, int> refusals = {
      {"hidraw1", EACCES}, {"hidraw2", ENXIO}, {"hidraw10", EPERM}, {"ttyS0", EACCES}};
  const auto check = [&](const std::string& path) {
    const auto it = refusals.find(path.substr(path.rfind('/') + 1));
    return it == refusals.end() ? 0 : it->second;
  };
  const auto locked = FindLockedHidrawNodes(dev.path().toStdString(), sys.path().toStdString(), check);

  // hidraw0 opens, hidraw2 is gone (not a permission problem), ttyS0 is no HID node.
  ASSERT_EQ(locked.size(), 2u);
  EXPECT_EQ(locked[0].node, dev.filePath("hidraw1").toStdString());
  EXPECT_EQ(locked[0].name, "Acme USB HID Bootloader");
  EXPECT_EQ(locked[1].node, dev.filePath("hidraw10").toStdString());
  EXPECT_EQ(locked[1].name, "");
}

TEST(HidrawAccess, AMissingDeviceFolderIsNoError) {
  EXPECT_TRUE(FindLockedHidrawNodes("/nonexistent/dev", "/nonexistent/sys").empty());
}

TEST(HidrawAccess, UdevAdviceNamesTheRuleWhereItIs) {
  QTemporaryDir root;
  const std::string etc = root.filePath("etc").toStdString();
  const std::string lib = root.filePath("lib").toStdString();
  const std::string local = root.filePath("local").toStdString();  // e.g. ~/.local/lib/udev/rules.d
  for (const std::string& dir : {etc, lib, local}) ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dir)));
  const std::vector<std::string> udevDirs = {etc, lib};

  const std::string none = UdevAdvice(udevDirs, local);
  EXPECT_NE(none.find("'sudo cp packaging/60-quorvel-bootloader.rules /etc/udev/rules.d/'"),
            std::string::npos);

  Touch(QString::fromStdString(local + "/60-quorvel-bootloader.rules"));
  const std::string copy = UdevAdvice(udevDirs, local);
  EXPECT_NE(copy.find("'sudo cp " + local + "/60-quorvel-bootloader.rules /etc/udev/rules.d/'"),
            std::string::npos)
      << copy;

  Touch(QString::fromStdString(lib + "/60-quorvel-bootloader.rules"));
  const std::string packaged = UdevAdvice(udevDirs, local);
  EXPECT_NE(packaged.find("The udev rule " + lib + "/60-quorvel-bootloader.rules grants"), std::string::npos)
      << packaged;
  Touch(QString::fromStdString(etc + "/60-quorvel-bootloader.rules"));
  EXPECT_NE(UdevAdvice(udevDirs, local).find(etc + "/60-quorvel-bootloader.rules"), std::string::npos)
      << "the administrator's copy overrides the packaged one";
  for (const std::string& advice : {none, copy, packaged}) {
    EXPECT_NE(advice.find("sudo udevadm control --reload-rules && sudo udevadm trigger"), std::string::npos);
  }
}

TEST(InstallLayout, PrefixIsTheFolderAboveTheBinaryFolder) {
  const std::pair<const char*, const char*> cases[] = {{"/usr/bin", "/usr"},
                                                       {"/home/u/.local/bin/", "/home/u/.local"},
                                                       {"/opt/q/bin/../bin", "/opt/q"},
                                                       {"/bin", "/"},
                                                       {"/work/build/src/cli", ""},
                                                       {"/usr/sbin", ""},
                                                       {"", ""}};
  for (const auto& [dir, prefix] : cases) EXPECT_EQ(InstallPrefix(dir), prefix) << dir;
  EXPECT_EQ(InstalledUdevRulesDir("/usr"), "/usr/lib/udev/rules.d");
}

}  // namespace
}  // namespace quorvel::cli
