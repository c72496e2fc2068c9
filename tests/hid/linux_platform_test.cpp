// SPDX-License-Identifier: Apache-2.0
#include "hid/linux/linux_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_controller.h"
#include "hid/hid_device.h"

namespace quorvel::hid::linux_hid {
namespace {

// --- the real backend, on this machine -------------------------------------------

TEST(LinuxBackend, StartUpRaisesOneChangeAndListsOnlyHidrawNodes) {
  LinuxHidPlatform platform;
  ASSERT_TRUE(platform.Available());
  EXPECT_FALSE(platform.MonitorSource().empty());
  const auto present = platform.Scan();
  THidDeviceController ctl(platform);
  int changes = 0, arrivals = 0;
  ctl.SetOnDeviceChange({[&](THidDeviceController*) { ++changes; }, 1});
  ctl.SetOnArrival({[&](THidDevice*) { ++arrivals; }, 2});
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 300) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  EXPECT_EQ(changes, 1);
  // Without HID devices (the usual case here) nothing is listed.
  EXPECT_LE(ctl.Count(), static_cast<int>(present.size()));
  EXPECT_EQ(arrivals, ctl.Count());
  for (const auto& info : present) EXPECT_EQ(info.InterfacePath.rfind("/dev/hidraw", 0), 0u);
}

TEST(LinuxBackend, GoneInterfaceCannotBeOpened) {
  LinuxHidPlatform platform;
  std::uint32_t error = 0;
  EXPECT_EQ(platform.Open({1, "/dev/hidraw250"}), nullptr);
  EXPECT_EQ(platform.OpenReader({1, "/dev/hidraw250"}, error), nullptr);
  EXPECT_NE(error, 0u);
}

// --- error paths through the system-call seam --------------------------------------

class FakeSys : public LinuxSys {
 public:
  int openErrno = 0;       // fail every open with this
  int ioctlErrno = 0;      // fail every ioctl with this
  int pollResult = 1;      // poll's return value
  short pollRevents = POLLIN;
  int pollErrno = 0;
  ssize_t readResult = 64;
  int readErrno = 0;
  ssize_t writeResult = -1;
  int writeErrno = EIO;
  std::map<int, int> closes;
  int nextFd = 100;

  int rdwrErrno = 0;  // fail read/write opens only
  std::vector<int> openFlags;  // of the opens that succeeded
  int Open(const char*, int flags) override {
    if (openErrno != 0) return (errno = openErrno, -1);
    if (rdwrErrno != 0 && (flags & O_ACCMODE) == O_RDWR) return (errno = rdwrErrno, -1);
    openFlags.push_back(flags & O_ACCMODE);
    return nextFd++;
  }
  int Close(int fd) override { return (++closes[fd], 0); }
  ssize_t Read(int, void* buffer, std::size_t size) override {
    if (readResult < 0) return (errno = readErrno, -1);
    std::memset(buffer, 0xAB, std::min<std::size_t>(size, static_cast<std::size_t>(readResult)));
    return std::min<ssize_t>(readResult, static_cast<ssize_t>(size));
  }
  ssize_t Write(int, const void*, std::size_t size) override {
    if (writeResult < 0) return (errno = writeErrno, -1);
    return std::min<ssize_t>(writeResult, static_cast<ssize_t>(size));
  }
  int Ioctl(int, unsigned long request, void* arg) override {
    if (ioctlErrno != 0) return (errno = ioctlErrno, -1);
    if (request == HIDIOCGRAWINFO) {
      auto* info = static_cast<hidraw_devinfo*>(arg);
      info->vendor = static_cast<__s16>(0x04D8);
      info->product = static_cast<__s16>(0x003C);
    }
    return 0;
  }
  int Poll(pollfd* fds, nfds_t, int) override {
    if (pollResult < 0) return (errno = pollErrno, -1);
    if (pollResult > 0) fds[0].revents = pollRevents;
    return pollResult;
  }
  int EventFd() override { return 99; }
  int flockErrno = 0;
  std::vector<int> flocks;
  int Flock(int, int operation) override {
    flocks.push_back(operation);
    return flockErrno != 0 ? (errno = flockErrno, -1) : 0;
  }
};

// A table of its own for each handle: these cases look at one handle at a time.
NodeTable& Nodes() {
  static thread_local std::unique_ptr<NodeTable> table;
  table = std::make_unique<NodeTable>();
  return *table;
}

InterfaceFacts Facts() {
  InterfaceFacts f;
  f.devnode = "/dev/hidraw0";
  f.hidId = "0003:000004D8:0000003C";
  f.hidName = "Microchip USB HID Bootloader";
  f.hidUniq = "uniq";
  f.hasUsbParent = true;
  f.usbProduct = "USB HID Bootloader";
  f.usbSerial = "";
  f.usbBcdDevice = "0102";
  // Vendor-defined 64/64 without report IDs.
  f.descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x81, 0x00, 0x91, 0x00, 0xC0};
  return f;
}

// EPERM is what device cgroups (containers) answer instead of EACCES.
TEST(LinuxSeam, RefusedNodeIsListedQueryOnlyFromSysfs) {
  for (const int refused : {EACCES, EPERM}) {
    SCOPED_TRACE(refused);
    FakeSys sys;
    sys.openErrno = refused;
    auto conn = OpenConnection(sys, Nodes(), Facts());
    ASSERT_NE(conn, nullptr);
    EXPECT_FALSE(conn->ReadWriteAccess());
    THidAttributes a;
    ASSERT_TRUE(conn->GetAttributes(a));
    EXPECT_EQ(a.VendorID, 0x04D8);
    EXPECT_EQ(a.ProductID, 0x003C);
    EXPECT_EQ(a.VersionNumber, 0x0102);
    std::u16string s;
    ASSERT_TRUE(conn->GetProductString(s));
    EXPECT_EQ(s, u"USB HID Bootloader");
    ASSERT_TRUE(conn->GetSerialString(s));
    EXPECT_EQ(s, u"uniq") << "no USB serial: the HID uevent's";
    THidCaps caps;
    ASSERT_TRUE(conn->GetCaps(caps));
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    const std::uint8_t report[65] = {};
    std::size_t written = 1;
    std::uint32_t error = 0;
    EXPECT_FALSE(conn->Write(report, 65, written, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(EACCES));
  }
}

TEST(LinuxSeam, StringsAreUtf8WhenValidElseLatin1) {
  FakeSys sys;
  InterfaceFacts facts = Facts();
  facts.usbProduct = "Ger\xE4t";
  facts.usbSerial = "\xC2\xB5" "C";
  auto conn = OpenConnection(sys, Nodes(), facts);
  ASSERT_NE(conn, nullptr);
  std::u16string s;
  ASSERT_TRUE(conn->GetProductString(s));
  EXPECT_EQ(s, u"Ger\u00E4t");
  ASSERT_TRUE(conn->GetSerialString(s));
  EXPECT_EQ(s, u"\u00B5C");
}

TEST(LinuxSeam, NodeThatIsGoneCannotBeOpened) {
  FakeSys sys;
  sys.openErrno = ENOENT;
  EXPECT_EQ(OpenConnection(sys, Nodes(), Facts()), nullptr);
  std::uint32_t error = 0;
  EXPECT_EQ(OpenReadChannel(sys, Nodes(), Facts(), error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

TEST(LinuxSeam, FailedRawInfoFallsBackToTheUeventAndMalformedIdFails) {
  FakeSys sys;
  sys.ioctlErrno = EINVAL;
  InterfaceFacts f = Facts();
  f.hidId = "garbage";
  auto conn = OpenConnection(sys, Nodes(), f);
  ASSERT_NE(conn, nullptr);
  THidAttributes a;
  EXPECT_FALSE(conn->GetAttributes(a));
  conn.reset();
  EXPECT_EQ(sys.closes[100], 1) << "the descriptor is closed with the connection";
}

TEST(LinuxSeam, WriteFailuresAndShortWritesFail) {
  FakeSys sys;
  auto conn = OpenConnection(sys, Nodes(), Facts());
  const std::uint8_t report[65] = {};
  std::size_t written = 0;
  std::uint32_t error = 0;
  EXPECT_FALSE(conn->Write(report, 65, written, error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(EIO));
  sys.writeResult = 10;
  EXPECT_FALSE(conn->Write(report, 65, written, error));
  EXPECT_EQ(written, 10u);
  sys.writeResult = 65;
  EXPECT_TRUE(conn->Write(report, 65, written, error));
}

TEST(LinuxSeam, UnnumberedReportGetsIdZeroInFront) {
  FakeSys sys;
  LinuxReadChannel ch(sys, 5, 6, /*numbered=*/false);
  std::uint8_t buf[65];
  auto r = ch.Read(buf, sizeof buf, 10);
  ASSERT_EQ(r.status, HidReadChannel::Status::kData);
  EXPECT_EQ(r.size, 65u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 0xAB);
}

struct ReadCase {
  const char* name;
  int pollResult;
  short revents;
  int pollErrno;
  ssize_t readResult;
  int readErrno;
  HidReadChannel::Status expected;
};
class ReadPaths : public ::testing::TestWithParam<ReadCase> {};
TEST_P(ReadPaths, MapToStatus) {
  FakeSys sys;
  sys.pollResult = GetParam().pollResult;
  sys.pollRevents = GetParam().revents;
  sys.pollErrno = GetParam().pollErrno;
  sys.readResult = GetParam().readResult;
  sys.readErrno = GetParam().readErrno;
  LinuxReadChannel ch(sys, 5, 6, true);
  std::uint8_t buf[65];
  EXPECT_EQ(ch.Read(buf, sizeof buf, 10).status, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadPaths,
    ::testing::Values(ReadCase{"Timeout", 0, 0, 0, 64, 0, HidReadChannel::Status::kTimeout},
                      ReadCase{"PollFails", -1, 0, EBADF, 64, 0, HidReadChannel::Status::kError},
                      ReadCase{"HangUp", 1, POLLHUP, 0, 64, 0, HidReadChannel::Status::kError},
                      ReadCase{"ReadFails", 1, POLLIN, 0, -1, EIO, HidReadChannel::Status::kError},
                      ReadCase{"SpuriousWakeup", 1, POLLIN, 0, -1, EAGAIN, HidReadChannel::Status::kTimeout},
                      ReadCase{"EndOfFile", 1, POLLIN, 0, 0, 0, HidReadChannel::Status::kError},
                      ReadCase{"Data", 1, POLLIN, 0, 64, 0, HidReadChannel::Status::kData}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LinuxSeam, ClosedChannelReleasesItsDescriptorsOnceAndReadsNothing) {
  FakeSys sys;
  auto ch = std::make_unique<LinuxReadChannel>(sys, 5, 6, true);
  ch->Close();
  ch->Close();
  std::uint8_t buf[65];
  EXPECT_EQ(ch->Read(buf, sizeof buf, 10).status, HidReadChannel::Status::kClosed);
  ch.reset();
  EXPECT_EQ(sys.closes[5], 1);
  EXPECT_EQ(sys.closes[6], 1);
}

TEST(LinuxSeam, InterruptEndsOneReadAndLeavesTheReportForTheNext) {
  // Real descriptors: a pipe stands in for the node, with a report waiting.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  LinuxSys& sys = DefaultSys();
  LinuxReadChannel ch(sys, fds[0], sys.EventFd(), true);
  const std::uint8_t report[3] = {0, 0x0F, 0x01};
  ASSERT_EQ(::write(fds[1], report, sizeof report), 3);
  ch.Interrupt();
  std::uint8_t buf[65];
  EXPECT_EQ(ch.Read(buf, sizeof buf, 10000).status, HidReadChannel::Status::kTimeout);
  const auto r = ch.Read(buf, sizeof buf, 10000);
  EXPECT_EQ(r.status, HidReadChannel::Status::kData) << "the wake-up was consumed by the first read";
  EXPECT_EQ(r.size, 3u);
  ::close(fds[1]);
}

TEST(LinuxSeam, NodeLockHoldsItsOwnDescriptorAndGivesUpWhenTaken) {
  struct Case {
    int openErrno, flockErrno;
    bool locked;
    std::uint32_t error;
  };
  for (const Case c :
       {Case{0, 0, true, 0}, Case{0, EWOULDBLOCK, false, EWOULDBLOCK}, Case{EACCES, 0, false, EACCES}}) {
    FakeSys sys;
    sys.openErrno = c.openErrno;
    sys.flockErrno = c.flockErrno;
    std::uint32_t error = 1234;
    auto lock = LockNode(sys, Nodes(), Facts(), error);
    EXPECT_EQ(lock != nullptr, c.locked);
    EXPECT_EQ(error, c.error);
    lock.reset();
    // The descriptor is released with the lock, or at once when none was taken.
    EXPECT_EQ(sys.closes[100], c.openErrno == 0 ? 1 : 0);
  }
}

TEST(LinuxIds, HidIdParsing) {
  std::uint16_t v = 0, p = 0;
  EXPECT_TRUE(ParseHidId("0003:000004D8:0000003C", v, p));
  EXPECT_EQ(v, 0x04D8);
  EXPECT_EQ(p, 0x003C);
  EXPECT_FALSE(ParseHidId("0003:000004D8", v, p));
  EXPECT_FALSE(ParseHidId("0003:100000000:0000003C", v, p));
  EXPECT_FALSE(ParseHidId("", v, p));
  EXPECT_NE(IdentityOf("/sys/a/0003:04D8:003C.0001/hidraw/hidraw0"),
            IdentityOf("/sys/a/0003:04D8:003C.0002/hidraw/hidraw0"));
}

// --- identity, report lengths and locks from a sysfs tree, no node opened ----------

// The real calls, with /sys, /dev and /proc under a temporary directory. An
// open of a node under /dev is counted and refused.
// A board is opened once for its lock, its reader and its writer (each open
// and close takes the kernel's lock shared by all hidraw nodes), and closed
// once, whichever lets go last; the lock itself goes with its holder.
TEST(LinuxSeam, OneBoardIsOpenedOnceForItsLockReaderAndWriter) {
  for (const std::string order : {"lock reader writer", "reader writer lock", "writer lock reader"}) {
    SCOPED_TRACE(order);
    FakeSys sys;
    NodeTable nodes;
    std::uint32_t error = 0;
    std::unique_ptr<HidLock> lock = LockNode(sys, nodes, Facts(), error);
    std::shared_ptr<HidReadChannel> reader = OpenReadChannel(sys, nodes, Facts(), error);
    std::unique_ptr<HidConnection> writer = OpenConnection(sys, nodes, Facts());
    ASSERT_TRUE(lock && reader && writer);
    EXPECT_EQ(sys.openFlags, std::vector<int>{O_RDWR});
    EXPECT_TRUE(writer->ReadWriteAccess());
    std::istringstream names(order);
    for (std::string name; names >> name;) {
      EXPECT_EQ(sys.closes[100], 0) << "closed before " << name << " let go";
      if (name == "lock") {
        lock.reset();
        EXPECT_EQ(sys.flocks.back(), LOCK_UN) << "the description outlives the lock";
      }
      if (name == "reader") reader->Close();
      if (name == "writer") writer.reset();
    }
    EXPECT_EQ(sys.closes[100], 1);
  }
}

TEST(LinuxSeam, SharedNodeKeepsBoardsReadersAndLocksApart) {
  FakeSys sys;
  NodeTable nodes;
  std::uint32_t error = 0;
  InterfaceFacts replugged = Facts();
  replugged.syspath = "/sys/devices/virtual/misc/uhid/0003:04D8:003C.0009/hidraw/hidraw0";
  auto reader = OpenReadChannel(sys, nodes, Facts(), error);
  auto other = OpenReadChannel(sys, nodes, replugged, error);
  EXPECT_EQ(sys.openFlags.size(), 2u) << "a board replugged under the same node is another board";
  auto second = OpenReadChannel(sys, nodes, Facts(), error);
  EXPECT_EQ(sys.openFlags.size(), 3u) << "two readers on one description would take each other's reports";
  // A reader that closes while the next one waits hands the description over.
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reader->Close();
  });
  auto next = OpenReadChannel(sys, nodes, Facts(), error);
  closer.join();
  EXPECT_NE(next, nullptr);
  EXPECT_EQ(sys.openFlags.size(), 3u) << "the closing reader's description is taken over";
  auto lock = LockNode(sys, nodes, Facts(), error);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(LockNode(sys, nodes, Facts(), error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(EWOULDBLOCK)) << "one holder at a time, in this program too";
  EXPECT_EQ(sys.openFlags.size(), 3u);
}

// Read/write refused: one read-only open still serves the lock and the reader;
// the writer is query-only.
TEST(LinuxSeam, ReadOnlyNodeIsSharedByLockAndReaderAndWritesNothing) {
  FakeSys sys;
  sys.rdwrErrno = EACCES;
  NodeTable nodes;
  std::uint32_t error = 0;
  auto lock = LockNode(sys, nodes, Facts(), error);
  auto reader = OpenReadChannel(sys, nodes, Facts(), error);
  auto writer = OpenConnection(sys, nodes, Facts());
  ASSERT_TRUE(lock && reader && writer);
  EXPECT_EQ(sys.openFlags, std::vector<int>{O_RDONLY});
  EXPECT_FALSE(writer->ReadWriteAccess());
  const std::uint8_t report[65] = {};
  std::size_t written = 0;
  EXPECT_FALSE(writer->Write(report, sizeof report, written, error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(EACCES));
}

class RootedSys : public LinuxSys {
 public:
  explicit RootedSys(std::string root) : root_(std::move(root)) {}
  int nodeOpens = 0;
  int Open(const char* path, int flags) override {
    if (std::string(path).rfind("/dev/", 0) == 0) return (++nodeOpens, errno = EACCES, -1);
    return LinuxSys::Open((root_ + path).c_str(), flags);
  }
  bool RealPath(const std::string& path, std::string& resolved) override {
    if (!LinuxSys::RealPath(root_ + path, resolved) || resolved.rfind(root_, 0) != 0) return false;
    resolved.erase(0, root_.size());
    return true;
  }
  int Stat(const char* path, struct stat& st) override { return LinuxSys::Stat((root_ + path).c_str(), st); }
  int Access(const char* path, int mode) override { return LinuxSys::Access((root_ + path).c_str(), mode); }

 private:
  std::string root_;
};

class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    root = QDir(dir.path()).canonicalPath().toStdString();
  }
  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::ofstream(root + path, std::ios::binary) << text;
  }
  // A hidraw node below `parent` (a USB interface, or uhid's misc device);
  // returns what a scan lists for it.
  THidPnPInfo AddNode(const std::string& parent, const std::string& hid, const std::string& node,
                      const std::string& uevent, const std::string& descriptor) {
    const std::string hidDir = parent + "/" + hid;
    const std::string syspath = hidDir + "/hidraw/" + node;
    Write(hidDir + "/uevent", uevent);
    Write(hidDir + "/report_descriptor", descriptor);
    std::filesystem::create_directories(root + syspath);
    std::filesystem::create_directory_symlink("../..", root + syspath + "/device");
    std::filesystem::create_directories(root + "/sys/class/hidraw");
    std::filesystem::create_directory_symlink("../../.." + syspath, root + "/sys/class/hidraw/" + node);
    Write("/dev/" + node, "");
    return {IdentityOf(syspath), "/dev/" + node};
  }

  QTemporaryDir dir;
  std::string root;
};

// Vendor-defined 64/64 without report IDs; the same with report ID 1 and 32 bytes.
const std::string kPlain("\x06\x00\xFF\x09\x01\xA1\x01\x75\x08\x95\x40\x81\x00\x91\x00\xC0", 16);
const std::string kNumbered("\x06\x00\xFF\x09\x01\xA1\x01\x85\x01\x75\x08\x95\x20\x81\x00\x91\x00\xC0", 18);

TEST_F(SysfsTree, DevicesAreNamedAndMeasuredWithoutOpeningTheirNodes) {
  const std::string usb = "/sys/devices/pci0000:00/usb1/1-1";
  Write(usb + "/uevent", "MAJOR=189\nDEVTYPE=usb_device\n");
  Write(usb + "/product", "USB HID Bootloader\n");
  Write(usb + "/serial", "\n");
  Write(usb + "/bcdDevice", "0102\n");
  Write(usb + "/1-1:1.0/uevent", "DEVTYPE=usb_interface\n");
  const THidPnPInfo usbNode = AddNode(usb + "/1-1:1.0", "0003:04D8:003C.0001", "hidraw0",
                                      "HID_ID=0003:000004D8:0000003C\nHID_NAME=Microchip\nHID_UNIQ=\n", kPlain);
  const THidPnPInfo uhidNode =
      AddNode("/sys/devices/virtual/misc/uhid", "0003:1234:5678.0002", "hidraw1",
              "HID_ID=0003:00001234:00005678\nHID_NAME=Virtual board\nHID_UNIQ=U-7\n", kNumbered);
  struct Case {
    THidPnPInfo info;
    const char16_t* product;
    const char16_t* serial;
    std::uint16_t vid, pid, version, reportLength;
  };
  RootedSys sys(root);
  LinuxHidPlatform platform(sys);
  for (const Case& c : {Case{usbNode, u"USB HID Bootloader", u"", 0x04D8, 0x003C, 0x0102, 65},
                        Case{uhidNode, u"Virtual board", u"U-7", 0x1234, 0x5678, 0, 33}}) {
    SCOPED_TRACE(c.info.InterfacePath);
    // What a scan does with each interface it finds, and what naming it asks.
    THidDevice dev(platform, c.info, nullptr, {}, {});
    dev.SetInHandler(true);
    EXPECT_EQ(dev.ProductString(), c.product);
    EXPECT_EQ(dev.SerialString(), c.serial);
    EXPECT_EQ(dev.Attributes().VendorID, c.vid);
    EXPECT_EQ(dev.Attributes().ProductID, c.pid);
    EXPECT_EQ(dev.Attributes().VersionNumber, c.version);
    THidCaps caps;
    dev.ReportCaps(caps);
    EXPECT_EQ(caps.InputReportByteLength, c.reportLength);
    EXPECT_EQ(caps.OutputReportByteLength, c.reportLength);
    EXPECT_TRUE(dev.ReadWriteAccess());
    dev.SetInHandler(false);
  }
  EXPECT_EQ(sys.nodeOpens, 0);
  // A node that now belongs to another device is gone for the one scanned.
  EXPECT_EQ(platform.Inspect({usbNode.DeviceInstance, "/dev/hidraw1"}), nullptr);
}

// Facts that cannot be read (the HID device's uevent, here) give no name; the
// next request reads them again. (This uevent also lacks HID_UNIQ and its
// last newline.)
TEST_F(SysfsTree, NameThatCouldNotBeReadIsReadAgain) {
  const THidPnPInfo info = AddNode("/sys/devices/virtual/misc/uhid", "0003:1234:5678.0003", "hidraw2",
                                   "HID_ID=0003:00001234:00005678\nHID_NAME=Late", kPlain);
  const std::string uevent = root + "/sys/devices/virtual/misc/uhid/0003:1234:5678.0003/uevent";
  std::filesystem::rename(uevent, uevent + ".away");
  RootedSys sys(root);
  LinuxHidPlatform platform(sys);
  EXPECT_EQ(platform.Inspect(info), nullptr);
  std::filesystem::rename(uevent + ".away", uevent);
  auto conn = platform.Inspect(info);
  ASSERT_NE(conn, nullptr);
  std::u16string product;
  ASSERT_TRUE(conn->GetProductString(product));
  EXPECT_EQ(product, u"Late");
  EXPECT_EQ(sys.nodeOpens, 0);
}

// Busy is another process's flock on the node's device and inode, as
// /proc/locks lists it.
TEST_F(SysfsTree, BusyComesFromTheLocksFile) {
  const THidPnPInfo info = AddNode("/sys/devices/virtual/misc/uhid", "0003:1234:5678.0004", "hidraw3",
                                   "HID_ID=0003:00001234:00005678\nHID_NAME=B\n", kPlain);
  struct stat st{};
  ASSERT_EQ(::stat((root + "/dev/hidraw3").c_str(), &st), 0);
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const std::string other = "1: FLOCK  ADVISORY  WRITE 4321 " + std::string(file) + " 0 EOF\n";
  const std::string self = "1: FLOCK  ADVISORY  WRITE " + std::to_string(::getpid()) + " " + file + " 0 EOF\n";
  struct Case {
    std::string locks;
    bool busy;
  };
  const Case cases[] = {
      {other, true},
      {"", false},
      {self, false},                                                               // this program's own
      {"1: -> FLOCK  ADVISORY  WRITE 4321 " + std::string(file) + " 0 EOF\n", false},  // a waiter holds nothing
      {"1: POSIX  ADVISORY  WRITE 4321 " + std::string(file) + " 0 EOF\n", false},     // does not keep flock off
      {"1: FLOCK  ADVISORY  WRITE 4321 00:00:1 0 EOF\n", false},                      // another file
      {"garbage\n1: FLOCK\n1: FLOCK  ADVISORY  WRITE x " + std::string(file) + " 0 EOF\n" +
           "1: FLOCK  ADVISORY  WRITE 4321 zz:05:7 0 EOF\n2: FLOCK  ADVISORY  WRITE 4321 " + file + "x 0 EOF\n",
       false},
      {"garbage\n" + other, true},
  };
  RootedSys sys(root);
  LinuxHidPlatform platform(sys);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locks);
    Write("/proc/locks", c.locks);
    EXPECT_EQ(platform.LockedElsewhere(info), c.busy);
  }
  EXPECT_EQ(sys.nodeOpens, 0);
}

}  // namespace
}  // namespace quorvel::hid::linux_hid
