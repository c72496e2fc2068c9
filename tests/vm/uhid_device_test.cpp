// SPDX-License-Identifier: Apache-2.0
// UhidBootloader against a fake kernel: the test holds the other end of a
// SOCK_SEQPACKET pair and reads/writes uhid events as /dev/uhid would.
#include "sim/uhid_device.h"

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::sim {
namespace {

class FakeKernel {
 public:
  FakeKernel() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    kernel_ = fds[0];
    device_ = fds[1];
    int stop[2];
    EXPECT_EQ(::pipe(stop), 0);
    stopRead_ = stop[0];
    stopWrite_ = stop[1];
  }
  ~FakeKernel() {
    for (int fd : {kernel_, device_, stopRead_, stopWrite_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  int DeviceFd() const { return device_; }
  int StopFd() const { return stopRead_; }
  void RequestStop() { ASSERT_EQ(::write(stopWrite_, "x", 1), 1); }
  void CloseKernelEnd() {
    ::close(kernel_);
    kernel_ = -1;
  }

  // Next event the device wrote; nullopt after 5 s of silence.
  std::optional<uhid_event> Next(int timeoutMs = 5000) {
    pollfd p{kernel_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    uhid_event ev{};
    const ssize_t n = ::read(kernel_, &ev, sizeof ev);
    if (n <= 0) return std::nullopt;
    return ev;
  }

  void Send(std::uint32_t type) {
    uhid_event ev{};
    ev.type = type;
    SendEvent(ev);
  }
  void SendOutput(const std::vector<std::uint8_t>& bytes, std::uint16_t claimedSize = 0) {
    uhid_event ev{};
    ev.type = UHID_OUTPUT;
    ev.u.output.rtype = UHID_OUTPUT_REPORT;
    std::memcpy(ev.u.output.data, bytes.data(), bytes.size());
    ev.u.output.size = claimedSize != 0 ? claimedSize : static_cast<std::uint16_t>(bytes.size());
    SendEvent(ev);
  }
  // A 65-byte output as hidraw hands it over: report ID 0, then the payload.
  void SendReport(std::uint8_t first, std::uint8_t second = 0) {
    std::vector<std::uint8_t> bytes(65, 0);
    bytes[1] = first;
    bytes[2] = second;
    SendOutput(bytes);
  }
  void SendEvent(const uhid_event& ev) {
    ASSERT_EQ(::write(kernel_, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
  }

  // Skips nothing: the next event must be of `type`.
  uhid_event Expect(std::uint32_t type) {
    auto ev = Next();
    EXPECT_TRUE(ev.has_value()) << "no event, expected type " << type;
    if (!ev) return uhid_event{};
    EXPECT_EQ(ev->type, type);
    return *ev;
  }

 private:
  int kernel_ = -1;
  int device_ = -1;
  int stopRead_ = -1;
  int stopWrite_ = -1;
};

// Runs the device on its own thread; the test thread plays the kernel.
class UhidBootloaderTest : public ::testing::Test {
 protected:
  void Start(UhidOptions options = {}) {
    // A write to a closed socket must fail with EPIPE, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    callbacks_.onReport = [this](const DeviceReport& report) {
      std::lock_guard lock(mutex_);
      seen_.push_back(report);
      DeviceReaction reaction;
      DeviceReport reply{};
      reply[0] = static_cast<std::uint8_t>(report[0] + 1);  // recognisable answer
      reply[63] = 0xEE;
      reaction.replies.push_back(reply);
      if (report[0] == kReboot) reaction.replies.clear();
      reaction.vanish = report[0] == kReboot;
      return reaction;
    };
    callbacks_.onStarted = [this](int incarnation) {
      std::lock_guard lock(mutex_);
      started_.push_back(incarnation);
    };
    callbacks_.onDestroyed = [this](bool willReturn) {
      std::lock_guard lock(mutex_);
      destroyed_.push_back(willReturn);
    };
    device_ = std::make_unique<UhidBootloader>(kernel_.DeviceFd(), options, callbacks_);
    thread_ = std::thread([this] { rc_ = device_->Run(kernel_.StopFd()); });
  }
  int Finish() {
    if (thread_.joinable()) thread_.join();
    return rc_;
  }
  void TearDown() override {
    if (thread_.joinable()) {
      kernel_.RequestStop();
      thread_.join();
    }
  }
  // Answers the creation the way the kernel does and returns the request.
  uhid_create2_req CreateAndStart() {
    const uhid_event created = kernel_.Expect(UHID_CREATE2);
    kernel_.Send(UHID_START);
    kernel_.Send(UHID_OPEN);
    return created.u.create2;
  }

  static constexpr std::uint8_t kReboot = 0x0A;
  FakeKernel kernel_;
  DeviceCallbacks callbacks_;
  std::unique_ptr<UhidBootloader> device_;
  std::thread thread_;
  std::atomic<int> rc_{-1};
  std::vector<DeviceReport> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<int> Started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::vector<bool> Destroyed() {
    std::lock_guard lock(mutex_);
    return destroyed_;
  }

  std::mutex mutex_;
  std::vector<DeviceReport> seen_;
  std::vector<int> started_;
  std::vector<bool> destroyed_;
};

TEST_F(UhidBootloaderTest, CreatesAUsbDeviceWithTheBootloadersIdentityAndDescriptor) {
  UhidOptions options;
  options.identity.serial = "SN-0042";
  options.identity.vendorId = 0x1234;
  options.identity.productId = 0xABCD;
  Start(options);
  const uhid_create2_req req = CreateAndStart();
  EXPECT_STREQ(reinterpret_cast<const char*>(req.name), "USB HID Bootloader");
  EXPECT_STREQ(reinterpret_cast<const char*>(req.uniq), "SN-0042");
  EXPECT_EQ(req.bus, BUS_USB);
  EXPECT_EQ(req.vendor, 0x1234u);
  EXPECT_EQ(req.product, 0xABCDu);
  const auto& descriptor = BootloaderReportDescriptor();
  ASSERT_EQ(req.rd_size, descriptor.size());
  EXPECT_EQ(std::memcmp(req.rd_data, descriptor.data(), descriptor.size()), 0);
}

TEST_F(UhidBootloaderTest, OverlongIdentityStringsAreCutAndTerminated) {
  UhidOptions options;
  options.identity.name = std::string(300, 'N');
  options.identity.serial = std::string(100, 'S');
  Start(options);
  const uhid_create2_req req = CreateAndStart();
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(req.name)), sizeof req.name - 1);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(req.uniq)), sizeof req.uniq - 1);
}

// The descriptor must describe exactly one 64-byte input and one 64-byte
// output report and no report IDs, or hidraw reads/writes change length.
TEST(BootloaderReportDescriptor, DeclaresSixtyFourByteReportsWithoutReportIds) {
  const auto& d = BootloaderReportDescriptor();
  int inputs = 0, outputs = 0, reportIds = 0;
  unsigned reportSize = 0, reportCount = 0;
  for (std::size_t i = 0; i < d.size();) {
    const std::uint8_t prefix = d[i];
    const std::size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
    ASSERT_LE(i + 1 + len, d.size()) << "item runs past the end";
    unsigned value = 0;
    for (std::size_t k = 0; k < len; ++k) value |= static_cast<unsigned>(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x74: reportSize = value; break;
      case 0x94: reportCount = value; break;
      case 0x84: ++reportIds; break;
      case 0x80: ++inputs; EXPECT_EQ(reportSize * reportCount, 64u * 8); break;
      case 0x90: ++outputs; EXPECT_EQ(reportSize * reportCount, 64u * 8); break;
      default: break;
    }
    i += 1 + len;
  }
  EXPECT_EQ(inputs, 1);
  EXPECT_EQ(outputs, 1);
  EXPECT_EQ(reportIds, 0);
}

TEST_F(UhidBootloaderTest, StripsTheReportIdAndAnswersWithSixtyFourByteInputs) {
  Start();
  CreateAndStart();
  kernel_.SendReport(0x11, 0x22);
  const uhid_event in = kernel_.Expect(UHID_INPUT2);
  EXPECT_EQ(in.u.input2.size, 64);
  EXPECT_EQ(in.u.input2.data[0], 0x12);
  EXPECT_EQ(in.u.input2.data[63], 0xEE);
  ASSERT_EQ(Seen().size(), 1u);
  EXPECT_EQ(Seen()[0][0], 0x11);
  EXPECT_EQ(Seen()[0][1], 0x22);
  EXPECT_EQ(Started(), std::vector<int>{1});
}

// Odd sizes must neither shift the payload nor read past the event: a short
// write is zero-padded, an absurd size field is clamped.
TEST_F(UhidBootloaderTest, ShortAndOversizedOutputsAreHandledSafely) {
  Start();
  CreateAndStart();
  kernel_.SendOutput({0x00, 0x31, 0x32, 0x33});
  kernel_.Expect(UHID_INPUT2);
  std::vector<std::uint8_t> big(65, 0x77);
  big[0] = 0;
  kernel_.SendOutput(big, 0xFFFF);
  kernel_.Expect(UHID_INPUT2);
  ASSERT_EQ(Seen().size(), 2u);
  EXPECT_EQ(Seen()[0][0], 0x31);
  EXPECT_EQ(Seen()[0][2], 0x33);
  EXPECT_EQ(Seen()[0][3], 0x00);
  EXPECT_EQ(Seen()[0][63], 0x00);
  EXPECT_EQ(Seen()[1][63], 0x77);
}

TEST_F(UhidBootloaderTest, RefusesGetAndSetReportRequestsAtOnce) {
  Start();
  CreateAndStart();
  uhid_event get{};
  get.type = UHID_GET_REPORT;
  get.u.get_report.id = 7;
  kernel_.SendEvent(get);
  const uhid_event reply = kernel_.Expect(UHID_GET_REPORT_REPLY);
  EXPECT_EQ(reply.u.get_report_reply.id, 7u);
  EXPECT_NE(reply.u.get_report_reply.err, 0);
  uhid_event set{};
  set.type = UHID_SET_REPORT;
  set.u.set_report.id = 9;
  kernel_.SendEvent(set);
  const uhid_event setReply = kernel_.Expect(UHID_SET_REPORT_REPLY);
  EXPECT_EQ(setReply.u.set_report_reply.id, 9u);
  EXPECT_NE(setReply.u.set_report_reply.err, 0);
}

TEST_F(UhidBootloaderTest, VanishWithoutRecreateDestroysAndEnds) {
  Start();
  CreateAndStart();
  kernel_.SendReport(kReboot);
  kernel_.Expect(UHID_DESTROY);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Destroyed(), std::vector<bool>{false});
}

// After a destroy the queue still holds the old device's CLOSE/STOP and any
// report written before it went away; none of them may reach the new device
// or end the program.
TEST_F(UhidBootloaderTest, RecreatedDeviceIgnoresTheOldDevicesStaleEvents) {
  UhidOptions options;
  options.timing.recreateAfterMs = 0;
  Start(options);
  const uhid_create2_req first = CreateAndStart();
  kernel_.SendReport(kReboot);
  kernel_.Expect(UHID_DESTROY);
  kernel_.SendReport(0x40);  // addressed to the old device
  kernel_.Send(UHID_CLOSE);
  kernel_.Send(UHID_STOP);
  const uhid_event again = kernel_.Expect(UHID_CREATE2);
  kernel_.SendReport(0x50);  // before START: the device is not there yet
  kernel_.Send(UHID_CLOSE);
  kernel_.Send(UHID_STOP);
  kernel_.Send(UHID_START);
  kernel_.Send(UHID_OPEN);
  kernel_.SendReport(0x60);
  const uhid_event in = kernel_.Expect(UHID_INPUT2);
  EXPECT_EQ(in.u.input2.data[0], 0x61);
  ASSERT_EQ(Seen().size(), 2u);
  EXPECT_EQ(Seen()[0][0], kReboot);
  EXPECT_EQ(Seen()[1][0], 0x60);
  EXPECT_EQ(Started(), (std::vector<int>{1, 2}));
  EXPECT_EQ(Destroyed(), std::vector<bool>{true});
  EXPECT_STRNE(reinterpret_cast<const char*>(first.phys),
               reinterpret_cast<const char*>(again.u.create2.phys));
}

TEST_F(UhidBootloaderTest, StopRequestDestroysTheDeviceAndEndsCleanly) {
  Start();
  CreateAndStart();
  kernel_.RequestStop();
  kernel_.Expect(UHID_DESTROY);
  EXPECT_EQ(Finish(), 0);
}

TEST_F(UhidBootloaderTest, StopBeforeADelayedCreationCreatesNothing) {
  UhidOptions options;
  options.timing.createAfterMs = 60000;
  Start(options);
  kernel_.RequestStop();
  EXPECT_EQ(Finish(), 0);
  EXPECT_FALSE(kernel_.Next(0).has_value());
}

TEST_F(UhidBootloaderTest, LosingTheUhidDescriptorEndsWithAnError) {
  Start();
  CreateAndStart();
  kernel_.CloseKernelEnd();
  EXPECT_EQ(Finish(), 2);
}

}  // namespace
}  // namespace quorvel::sim
