// SPDX-License-Identifier: Apache-2.0
// GadgetBootloader against a fake configfs (a plain directory that grows the
// attributes configfs would) and a fake hidg node (a SOCK_SEQPACKET pair whose
// other end the test holds, playing the USB host).
#include "sim/gadget_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::sim {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class FakeConfigfs : public GadgetFs {
 public:
  FakeConfigfs() {
    char tmpl[] = "/tmp/gadget-test.XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  ~FakeConfigfs() override {
    for (int fd : hostEnds_) ::close(fd);
    for (int fd : deviceEnds_) ::close(fd);
    fs::remove_all(root_);
  }

  // configfs fills in a new gadget's groups, a configuration's strings group
  // and a HID function's attributes (only the node's numbers matter here).
  bool MakeDir(const std::string& path) override {
    if (!GadgetFs::MakeDir(path)) return false;
    const std::string parent = fs::path(path).parent_path().filename();
    if (path == root_ + "/g") {
      for (const char* group : {"strings", "configs", "functions"}) fs::create_directory(path + "/" + group);
    }
    if (parent == "configs") fs::create_directory(path + "/strings");
    if (parent == "functions") std::ofstream(path + "/dev") << "240:7\n";
    return true;
  }
  // configfs removes a directory's attributes with it.
  bool RemoveDir(const std::string& path) override { return fs::remove_all(path) > 0; }
  bool WriteFile(const std::string& path, const std::string& contents) override {
    if (fs::path(path).filename() == "UDC") {
      std::lock_guard lock(m_);
      udcWrites_.push_back(contents);
      if (bindErrno_ != 0 && contents != "\n") {
        errno = bindErrno_;
        return false;
      }
      bound_ = contents != "\n";
    }
    return GadgetFs::WriteFile(path, contents);
  }
  bool Symlink(const std::string& target, const std::string& link) override {
    std::lock_guard lock(m_);
    links_.push_back(fs::path(link).filename());
    return GadgetFs::Symlink(target, link);
  }
  // The node exists only while the gadget is bound.
  int OpenNode(const std::string& path) override {
    std::lock_guard lock(m_);
    nodePaths_.push_back(path);
    if (!bound_) {
      errno = ENOENT;
      return -1;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    ::fcntl(pair[1], F_SETFL, O_NONBLOCK);
    hostEnds_.push_back(pair[0]);
    // A second descriptor of the device's end lets the test look into its
    // queue without racing the device closing its own.
    deviceEnds_.push_back(::dup(pair[1]));
    cv_.notify_all();
    return pair[1];
  }

  std::string Root() const { return root_; }
  std::string Read(const std::string& relative) const { return Slurp(root_ + "/g/" + relative); }
  bool Has(const std::string& relative) const { return fs::exists(root_ + "/g/" + relative); }
  void RefuseBind(int error) { bindErrno_ = error; }
  std::vector<std::string> UdcWrites() {
    std::lock_guard lock(m_);
    return udcWrites_;
  }
  std::vector<std::string> Links() {
    std::lock_guard lock(m_);
    return links_;
  }
  std::vector<std::string> NodePaths() {
    std::lock_guard lock(m_);
    return nodePaths_;
  }
  // Host end of the n-th opening of the node (0-based); -1 after 5 s without it.
  int Host(std::size_t n) {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return hostEnds_.size() > n; });
    return hostEnds_.size() > n ? hostEnds_[n] : -1;
  }
  // What the device has not read yet can be peeked at here.
  int DeviceQueue(std::size_t n) {
    std::lock_guard lock(m_);
    return deviceEnds_.size() > n ? deviceEnds_[n] : -1;
  }

 private:
  std::string root_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> udcWrites_, links_, nodePaths_;
  std::vector<int> hostEnds_, deviceEnds_;
  bool bound_ = false;
  int bindErrno_ = 0;
};

// One message from the device within 5 s; empty on end of file or silence.
std::string Receive(int host) {
  pollfd p{host, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return {};
  char buffer[256];
  const ssize_t n = ::recv(host, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string{};
}

void SendReport(int host, std::uint8_t first) {
  std::string report(kDeviceReportSize, '\0');
  report[0] = static_cast<char>(first);
  ASSERT_EQ(::send(host, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
}

class GadgetBootloaderTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kReboot = 0x0A, kHang = 0x0B;

  void Start(bool composite = false, std::int64_t recreateAfterMs = -1) {
    ASSERT_EQ(::pipe(stop_), 0);
    GadgetOptions options;
    options.identity.serial = "SN-7";
    options.identity.vendorId = 0x1234;
    options.identity.productId = 0xABCD;
    options.configfs = fs_.Root();
    options.name = "g";
    options.udc = "dummy_udc.1";
    options.devDir = "/fake-dev";
    options.composite = composite;
    options.timing.recreateAfterMs = recreateAfterMs;
    DeviceCallbacks callbacks;
    callbacks.onReport = [this](const DeviceReport& report) {
      std::lock_guard lock(mutex_);
      seen_.push_back(report[0]);
      DeviceReaction reaction;
      DeviceReport reply{};
      reply[0] = static_cast<std::uint8_t>(report[0] + 1);
      if (report[0] != kReboot) reaction.replies.push_back(reply);
      reaction.vanish = report[0] == kReboot;
      reaction.stall = report[0] == kHang;
      return reaction;
    };
    callbacks.onStarted = [this](int incarnation) {
      std::lock_guard lock(mutex_);
      started_.push_back(incarnation);
    };
    callbacks.onError = [this](const std::string& text) {
      std::lock_guard lock(mutex_);
      errors_.push_back(text);
    };
    device_ = std::make_unique<GadgetBootloader>(fs_, options, callbacks);
    thread_ = std::thread([this] {
      rc_ = device_->Run(stop_[0]);
      device_.reset();  // removes the configfs tree
    });
  }
  int Stop() {
    if (thread_.joinable()) {
      EXPECT_EQ(::write(stop_[1], "x", 1), 1);
      thread_.join();
    }
    return rc_;
  }
  void TearDown() override {
    Stop();
    for (int fd : stop_) {
      if (fd >= 0) ::close(fd);
    }
  }
  std::vector<std::uint8_t> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  FakeConfigfs fs_;
  int stop_[2] = {-1, -1};
  std::unique_ptr<GadgetBootloader> device_;
  std::thread thread_;
  std::atomic<int> rc_{-1};
  std::mutex mutex_;
  std::vector<std::uint8_t> seen_;
  std::vector<int> started_;
  std::vector<std::string> errors_;
};

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

// The host must see the bootloader's identity and a 64/64 report descriptor
// on the right interface, and nothing may stay behind in configfs.
class GadgetLayout : public GadgetBootloaderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GadgetLayout, DescribesTheDeviceBindsItAndRemovesItAtTheEnd) {
  const bool composite = GetParam();
  Start(composite);
  ASSERT_GE(fs_.Host(0), 0);
  EXPECT_EQ(fs_.Read("idVendor"), "0x1234");
  EXPECT_EQ(fs_.Read("idProduct"), "0xabcd");
  EXPECT_EQ(fs_.Read("strings/0x409/product"), "USB HID Bootloader");
  EXPECT_EQ(fs_.Read("strings/0x409/serialnumber"), "SN-7");
  EXPECT_EQ(fs_.Read("functions/hid.bootloader/report_desc"), Bytes(BootloaderReportDescriptor()));
  EXPECT_EQ(fs_.Read("functions/hid.bootloader/report_length"), "64");
  EXPECT_FALSE(fs_.Has("functions/hid.bootloader/no_out_endpoint")) << "reports must use the OUT endpoint";
  EXPECT_EQ(fs_.Read("UDC"), "dummy_udc.1");
  EXPECT_EQ(fs_.NodePaths().back(), "/fake-dev/hidg7");
  if (composite) {
    EXPECT_EQ(fs_.Read("functions/hid.keyboard/report_desc"), Bytes(BootKeyboardReportDescriptor()));
    EXPECT_EQ(fs_.Read("functions/hid.keyboard/protocol"), "1");
    EXPECT_EQ(fs_.Read("functions/hid.keyboard/subclass"), "1");
    // Linked first, the keyboard becomes interface 0.
    EXPECT_EQ(fs_.Links(), (std::vector<std::string>{"hid.keyboard", "hid.bootloader"}));
  } else {
    EXPECT_EQ(fs_.Links(), std::vector<std::string>{"hid.bootloader"});
  }
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(fs_.UdcWrites().back(), "\n");
  EXPECT_FALSE(fs_.Has("")) << "configfs tree left behind";
}

INSTANTIATE_TEST_SUITE_P(BootloaderAlone, GadgetLayout, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(WithBootKeyboard, GadgetLayout, ::testing::Values(true));

TEST_F(GadgetBootloaderTest, AnswersReportsOnTheNode) {
  Start();
  const int host = fs_.Host(0);
  ASSERT_GE(host, 0);
  SendReport(host, 0x11);
  const std::string reply = Receive(host);
  ASSERT_EQ(reply.size(), kDeviceReportSize);
  EXPECT_EQ(reply[0], 0x12);
  EXPECT_EQ(Seen(), std::vector<std::uint8_t>{0x11});
}

// Unplugging unbinds; the kernel removes the node then, so the next bind must
// open it again, and the old node must not be read any more.
TEST_F(GadgetBootloaderTest, VanishUnbindsAndTheNextBindOpensTheNodeAgain) {
  Start(false, 0);
  const int first = fs_.Host(0);
  ASSERT_GE(first, 0);
  SendReport(first, kReboot);
  const int second = fs_.Host(1);
  ASSERT_GE(second, 0);
  EXPECT_EQ(Receive(first), "") << "the old node must be closed";
  SendReport(second, 0x21);
  EXPECT_EQ(Receive(second)[0], 0x22);
  EXPECT_EQ(fs_.UdcWrites(), (std::vector<std::string>{"dummy_udc.1", "\n", "dummy_udc.1"}));
  std::lock_guard lock(mutex_);
  EXPECT_EQ(started_, (std::vector<int>{1, 2}));
}

// A hung firmware must leave the host's reports in the endpoint, unread.
TEST_F(GadgetBootloaderTest, AStalledFirmwareReadsNothingMore) {
  Start();
  const int host = fs_.Host(0);
  ASSERT_GE(host, 0);
  SendReport(host, kHang);
  EXPECT_EQ(Receive(host)[0], kHang + 1);
  SendReport(host, 0x31);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  char peek = 0;
  EXPECT_EQ(::recv(fs_.DeviceQueue(0), &peek, 1, MSG_PEEK | MSG_DONTWAIT), 1) << "the report was read";
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(Seen(), std::vector<std::uint8_t>{kHang});
}

TEST_F(GadgetBootloaderTest, ARefusedBindEndsWithAnErrorAndLeavesNothing) {
  fs_.RefuseBind(EBUSY);
  Start();
  thread_.join();
  EXPECT_EQ(rc_, 2);
  EXPECT_FALSE(fs_.Has(""));
  std::lock_guard lock(mutex_);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find("dummy_udc.1"), std::string::npos) << errors_[0];
}

// A killed run leaves its gadget in configfs; the next run replaces it.
TEST_F(GadgetBootloaderTest, AGadgetLeftByAKilledRunIsReplaced) {
  fs::create_directories(fs_.Root() + "/g/functions/hid.bootloader");
  Start();
  ASSERT_GE(fs_.Host(0), 0);
  EXPECT_EQ(fs_.UdcWrites().front(), "\n") << "unbound first";
  EXPECT_EQ(fs_.Read("UDC"), "dummy_udc.1");
}

}  // namespace
}  // namespace quorvel::sim
