#include "cli/hidraw_access.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <map>
#include <string>

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

}  // namespace
}  // namespace quorvel::cli
