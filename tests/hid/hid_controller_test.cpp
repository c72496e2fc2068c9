// SPDX-License-Identifier: Apache-2.0
// Device objects and the controller on the simulated platform: real reader
// threads, real hand-over to this (the UI) thread.
#include "hid/hid_controller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "core/boot_info.h"
#include "sim/sim_platform.h"

namespace quorvel::hid {
namespace {

using sim::GenericHidDescription;
using sim::SimHidPlatform;

bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

void Pump(int ms) {
  WaitFor([] { return false; }, ms);
}

std::string Str(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Counts the controller's events in order.
struct Recorder {
  std::vector<std::string> log;
  int changes = 0;
  void Attach(THidDeviceController& c) {
    c.SetOnArrival({[this](THidDevice* d) { log.push_back("arrival " + d->PnPInfo().InterfacePath); }, 1});
    c.SetOnRemoval({[this](THidDevice* d) { log.push_back("removal " + d->PnPInfo().InterfacePath); }, 2});
    c.SetOnDeviceChange({[this](THidDeviceController*) {
                           ++changes;
                           log.push_back("change");
                         },
                         3});
  }
};

struct ControllerFixture : ::testing::Test {
  SimHidPlatform platform;
  std::unique_ptr<THidDeviceController> ctl;
  Recorder rec;
  void Start() {
    ctl = std::make_unique<THidDeviceController>(platform);
    rec.Attach(*ctl);
    ASSERT_TRUE(WaitFor([&] { return rec.changes >= 1; }));
  }
  int IndexOf(const std::string& path) {
    for (int i = 0; i < ctl->Count(); ++i) {
      if (ctl->At(i)->PnPInfo().InterfacePath == path) return i;
    }
    return -1;
  }
};

// --- controller events ---------------------------------------------------------

TEST_F(ControllerFixture, StartUpWithoutDevicesRaisesOneChangeAndNoArrival) {
  Start();
  Pump(100);
  EXPECT_EQ(rec.log, std::vector<std::string>{"change"});
  EXPECT_EQ(ctl->Count(), 0);
  EXPECT_EQ(ctl->LastNotifyParam(), -1);
}

TEST_F(ControllerFixture, StartUpReportsEachInterfaceThenOneChange) {
  platform.PlugGeneric({});
  platform.PlugBootloader(sim::SimProfile{});
  Start();
  Pump(50);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"arrival sim:1", "arrival sim:2", "change"}));
  EXPECT_EQ(ctl->Count(), 2);
}

TEST_F(ControllerFixture, NotificationWithTheSameInterfacesRaisesNothing) {
  platform.PlugGeneric({});
  Start();
  rec.log.clear();
  platform.NotifyChange();
  Pump(100);
  EXPECT_TRUE(rec.log.empty());
  EXPECT_EQ(ctl->Count(), 1);
}

TEST_F(ControllerFixture, UnplugAndPlugAreReportedRemovalsFirst) {
  const int a = platform.PlugGeneric({});
  Start();
  rec.log.clear();
  platform.Unplug(a);
  ASSERT_TRUE(WaitFor([&] { return rec.changes == 2; }));
  EXPECT_EQ(rec.log, (std::vector<std::string>{"removal sim:1", "change"}));
  EXPECT_EQ(ctl->Count(), 0);
}

TEST_F(ControllerFixture, NotificationDuringAChangeIsNotNestedButRescannedAfter) {
  Start();
  int nestedSeen = 0;
  ctl->SetOnDeviceChange({[&](THidDeviceController* c) {
                            ++rec.changes;
                            if (c->InDeviceChange() && rec.changes == 2) {
                              platform.PlugGeneric({});  // posts a notification
                              Pump(100);                 // ...which arrives here and is not nested
                              nestedSeen = c->Count();
                            }
                          },
                          9});
  platform.PlugGeneric({});
  ASSERT_TRUE(WaitFor([&] { return ctl->Count() == 2; })) << "the missed arrival is found by a rescan";
  EXPECT_EQ(nestedSeen, 1);
  Pump(50);
  EXPECT_EQ(rec.changes, 3) << "one rescan, not one per missed notification";
}

TEST_F(ControllerFixture, CheckOutBounds) {
  platform.PlugGeneric({});
  Start();
  THidDevice* dev = reinterpret_cast<THidDevice*>(1);
  EXPECT_FALSE(ctl->CheckOutByIndex(dev, -1));
  EXPECT_EQ(dev, nullptr);
  EXPECT_FALSE(ctl->CheckOutByIndex(dev, ctl->Count()));
  EXPECT_EQ(dev, nullptr);
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  EXPECT_TRUE(dev->CheckedOut());
  THidDevice* again = nullptr;
  EXPECT_FALSE(ctl->CheckOutByIndex(again, 0));
  EXPECT_EQ(again, nullptr);
  delete dev;
}

TEST_F(ControllerFixture, GivingBackAPluggedObjectListsAFreshOneWithTheSameHandlers) {
  platform.PlugGeneric({});
  platform.PlugGeneric({});
  Start();
  ctl->SetOnDeviceData({[](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}, 42});
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 1));
  EXPECT_TRUE(dev->HasReader());
  ASSERT_TRUE(dev->SetReadSlice(20));
  delete dev;
  ASSERT_EQ(ctl->Count(), 2);
  THidDevice* fresh = ctl->At(1);
  EXPECT_EQ(fresh->PnPInfo().InterfacePath, "sim:2");
  EXPECT_FALSE(fresh->CheckedOut());
  EXPECT_FALSE(fresh->HasReader());
  EXPECT_EQ(fresh->DataHandler().token, 42u);
  EXPECT_EQ(fresh->ReadSliceMs(), 20);
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 1));
  EXPECT_TRUE(dev->HasReader()) << "the kept data handler starts the reader at once";
  delete dev;
}

TEST_F(ControllerFixture, GivingBackAnUnpluggedObjectShortensTheList) {
  const int a = platform.PlugGeneric({});
  platform.PlugGeneric({});
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  platform.Unplug(a);
  ASSERT_TRUE(WaitFor([&] { return !dev->PluggedIn(); }));
  EXPECT_EQ(ctl->Count(), 2) << "a checked-out object stays listed until given back";
  delete dev;
  EXPECT_EQ(ctl->Count(), 1);
  EXPECT_EQ(ctl->At(0)->PnPInfo().InterfacePath, "sim:2");
}

TEST_F(ControllerFixture, GivingBackWhenTheInterfaceJustVanishedDropsTheEntry) {
  const int a = platform.PlugGeneric({});
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  platform.Unplug(a, /*notify=*/false);
  delete dev;  // the replacement cannot be opened
  EXPECT_EQ(ctl->Count(), 0);
  platform.NotifyChange();
  Pump(50);
  EXPECT_EQ(ctl->Count(), 0);
}

TEST_F(ControllerFixture, ShutdownStopsReadersOfCheckedOutObjects) {
  platform.PlugGeneric({});
  Start();
  ctl->SetOnDeviceData({[](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}, 5});
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  ASSERT_TRUE(dev->HasReader());
  ctl.reset();
  EXPECT_FALSE(dev->HasReader());
  EXPECT_FALSE(dev->PluggedIn());
  EXPECT_EQ(dev->OwnerController(), nullptr);
  delete dev;  // no controller to give it back to
}

// --- device objects --------------------------------------------------------------

TEST_F(ControllerFixture, QueryOnlyInterfaceIsListedButNeverRead) {
  GenericHidDescription profileText;
  profileText.product = u"Keyboard";
  profileText.queryOnly = true;
  platform.PlugGeneric(profileText);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  EXPECT_EQ(Str(dev->ProductString()), "Keyboard");
  EXPECT_FALSE(dev->ReadWriteAccess());
  dev->SetDataHandler({[](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}, 1});
  EXPECT_FALSE(dev->HasReader());
  const std::uint8_t report[65] = {};
  std::uint32_t written = 99;
  EXPECT_FALSE(dev->WriteReport(report, 65, written));
  EXPECT_EQ(written, 0u);
  delete dev;
}

TEST_F(ControllerFixture, ProductStringIsCutAt254UnitsAndRetriedAfterAFailure) {
  GenericHidDescription profileText;
  profileText.product = std::u16string(300, u'p');
  profileText.serial = u"SN1";
  const int id = platform.PlugGeneric(profileText);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  platform.FailStringReads(id, 1);
  EXPECT_TRUE(dev->ProductString().empty());
  EXPECT_EQ(dev->ProductString(), std::u16string(254, u'p'));
  EXPECT_EQ(Str(dev->SerialString()), "SN1");
  platform.Unplug(id);
  ASSERT_TRUE(WaitFor([&] { return !dev->PluggedIn(); }));
  EXPECT_EQ(dev->ProductString().size(), 254u) << "cached after the device is gone";
  delete dev;
}

// Listing, naming and measuring a board, and giving it back, open nothing. A
// failed serial read is tried again; an empty one that succeeded is kept.
TEST_F(ControllerFixture, ScanAndNamesOpenNothingAndAnEmptySerialIsReadOnce) {
  const int id = platform.PlugGeneric(GenericHidDescription{});
  platform.FailStringReads(id, 1);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  const std::size_t reads = platform.StringReadCount(id);
  EXPECT_TRUE(dev->SerialString().empty());  // fails
  EXPECT_TRUE(dev->SerialString().empty());  // succeeds: no serial
  EXPECT_TRUE(dev->SerialString().empty());
  EXPECT_EQ(platform.StringReadCount(id), reads + 2);
  EXPECT_EQ(Str(dev->ProductString()), "Simulated HID");
  THidCaps caps;
  dev->ReportCaps(caps);
  EXPECT_EQ(caps.OutputReportByteLength, 65);
  EXPECT_TRUE(dev->ReadWriteAccess());
  delete dev;
  ctl->NotifyDeviceChange(0);
  EXPECT_EQ(platform.OpenCount(id), 0u);
}

TEST_F(ControllerFixture, ListedObjectIsNotOpenedOutsideAHandler) {
  GenericHidDescription profileText;
  profileText.product = u"X";
  platform.PlugGeneric(profileText);
  Start();
  EXPECT_TRUE(ctl->At(0)->ProductString().empty()) << "neither checked out nor in a handler";
  std::string seen;
  ctl->SetOnEnumerate({[&](THidDevice* d, std::int32_t) {
                         seen = Str(d->ProductString());
                         return true;
                       },
                       7});
  EXPECT_EQ(ctl->Enumerate(), 1);
  EXPECT_EQ(seen, "X");
}

class ReadSlice : public ControllerFixture, public ::testing::WithParamInterface<std::pair<int, bool>> {};
TEST_P(ReadSlice, AcceptsTenToTenThousand) {
  platform.PlugGeneric({});
  Start();
  THidDevice* dev = ctl->At(0);
  EXPECT_EQ(dev->SetReadSlice(GetParam().first), GetParam().second);
  EXPECT_EQ(dev->ReadSliceMs(), GetParam().second ? GetParam().first : 100);
}
INSTANTIATE_TEST_SUITE_P(Bounds, ReadSlice,
                         ::testing::Values(std::pair{9, false}, std::pair{10, true}, std::pair{10000, true},
                                           std::pair{10001, false}, std::pair{-1, false}));

struct Received {
  std::uint8_t id = 0xFF;
  std::vector<std::uint8_t> data;
  bool onUiThread = false;
};

TEST_F(ControllerFixture, ReportArrivesAsIdZeroAnd64BytesOnTheUiThread) {
  const int id = platform.PlugGeneric({});
  Start();
  std::vector<Received> got;
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  dev->SetDataHandler({[&](THidDevice*, std::uint8_t rid, const std::uint8_t* data, std::uint16_t size) {
                         got.push_back({rid, std::vector<std::uint8_t>(data, data + size),
                                        QThread::currentThread() == QCoreApplication::instance()->thread()});
                       },
                       1});
  std::vector<std::uint8_t> report(65);
  for (int i = 0; i < 65; ++i) report[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(WaitFor([&] { return platform.ReaderCount(id) > 0; }));
  platform.InjectInputReport(id, report);
  ASSERT_TRUE(WaitFor([&] { return !got.empty(); }));
  EXPECT_EQ(got[0].id, 0);
  ASSERT_EQ(got[0].data.size(), 64u);
  EXPECT_EQ(got[0].data[0], 1);
  EXPECT_EQ(got[0].data[63], 64);
  EXPECT_TRUE(got[0].onUiThread);
  delete dev;
}

TEST_F(ControllerFixture, DeliveryQueuedBeforeTheStopStillReachesTheHandler) {
  const int id = platform.PlugGeneric({});
  Start();
  int calls = 0;
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  dev->SetDataHandler({[&](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++calls; }, 1});
  ASSERT_TRUE(WaitFor([&] { return platform.ReaderCount(id) > 0; }));
  platform.InjectInputReport(id, std::vector<std::uint8_t>(65, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader posts and waits; no events run here
  EXPECT_EQ(calls, 0);
  dev->SetDataHandler({});  // stops the reader, running the queued delivery
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(dev->HasReader());
  Pump(50);
  EXPECT_EQ(calls, 1);
  delete dev;
}

TEST_F(ControllerFixture, HandlerMayStopItsOwnReader) {
  const int id = platform.PlugGeneric({});
  Start();
  int calls = 0;
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  dev->SetDataHandler({[&](THidDevice* d, std::uint8_t, const std::uint8_t*, std::uint16_t) {
                         ++calls;
                         d->SetDataHandler({});  // must not deadlock with the reader waiting for us
                       },
                       1});
  ASSERT_TRUE(WaitFor([&] { return platform.ReaderCount(id) > 0; }));
  platform.InjectInputReport(id, std::vector<std::uint8_t>(65, 0));
  ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
  EXPECT_FALSE(dev->HasReader());
  delete dev;
}

TEST_F(ControllerFixture, HandlerMayGiveItsDeviceBack) {
  const int id = platform.PlugGeneric({});
  Start();
  int calls = 0;
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  dev->SetDataHandler({[&](THidDevice* d, std::uint8_t, const std::uint8_t*, std::uint16_t) {
                         ++calls;
                         delete d;
                       },
                       1});
  ASSERT_TRUE(WaitFor([&] { return platform.ReaderCount(id) > 0; }));
  platform.InjectInputReport(id, std::vector<std::uint8_t>(65, 0));
  ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
  Pump(20);
  ASSERT_EQ(ctl->Count(), 1);
  EXPECT_FALSE(ctl->At(0)->CheckedOut());
}

TEST_F(ControllerFixture, UnpluggedReaderReportsErrorsUntilGivenBack) {
  const int id = platform.PlugGeneric({});
  Start();
  std::vector<std::uint32_t> errors;
  int unplugCalls = 0;
  ctl->SetOnDeviceDataError({[&](THidDevice*, std::uint32_t e) { errors.push_back(e); }, 3});
  ctl->SetOnDeviceUnplug({[&](THidDevice*) { ++unplugCalls; }, 4});
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  dev->SetDataHandler({[](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}, 1});
  dev->SetReadSlice(10);
  platform.Unplug(id);
  ASSERT_TRUE(WaitFor([&] { return errors.size() >= 2; }));
  EXPECT_EQ(unplugCalls, 1);
  EXPECT_EQ(errors[0], 19u);
  delete dev;
}

// --- the simulated bootloader behind a device object ---------------------------------

TEST_F(ControllerFixture, BootloaderAnswersInfoAndVanishesOnReboot) {
  sim::SimProfile profile;
  ASSERT_TRUE(sim::DefaultProfile(20, profile));
  profile.paceMs = 1;
  const int id = platform.PlugBootloader(profile);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  EXPECT_EQ(Str(dev->ProductString()), "USB HID Bootloader");
  THidCaps caps;
  dev->ReportCaps(caps);
  EXPECT_EQ(caps.InputReportByteLength, 65);
  EXPECT_EQ(caps.OutputReportByteLength, 65);
  std::vector<std::uint8_t> answer;
  dev->SetDataHandler({[&](THidDevice*, std::uint8_t, const std::uint8_t* d, std::uint16_t n) {
                         answer.assign(d, d + n);
                       },
                       1});
  std::uint8_t frame[65] = {0, 0x0F, 0x02};
  std::uint32_t written = 0;
  ASSERT_TRUE(dev->WriteReport(frame, 65, written));
  EXPECT_EQ(written, 65u);
  ASSERT_TRUE(WaitFor([&] { return !answer.empty(); }));
  TBootInfo info;
  ParseBootInfoRecord(answer.data(), answer.size(), info);
  EXPECT_EQ(info.McuType, 20);
  EXPECT_EQ(static_cast<std::uint32_t>(info.BootStart), profile.bootStart);

  frame[2] = 0x04;
  ASSERT_TRUE(dev->WriteReport(frame, 65, written));
  ASSERT_TRUE(WaitFor([&] { return !dev->PluggedIn(); }));
  EXPECT_EQ(rec.log.back(), "change");
  EXPECT_EQ(platform.TraceText(id), "INFO\nREBOOT\n");
  EXPECT_FALSE(dev->WriteReport(frame, 65, written));
  delete dev;
  EXPECT_EQ(ctl->Count(), 0);
}

TEST_F(ControllerFixture, StalledWriteLeavesThisThreadFreeAndTakesTheReportsBehindItAlong) {
  sim::SimProfile profile;
  ASSERT_TRUE(sim::DefaultProfile(2, profile));
  const int id = platform.PlugBootloader(profile);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  const std::uint8_t info[65] = {0, 0x0F, 0x02};
  platform.StallWrites(id, 1, 100, ETIMEDOUT);
  const std::uint64_t first = dev->QueueReport(info, 65);
  dev->QueueReport(info, 65);
  const std::uint64_t third = dev->QueueReport(info, 65);
  EXPECT_EQ(dev->WriteOutcome(third), THidDevice::WriteState::kPending)
      << "queued, not written on this thread";
  ASSERT_TRUE(WaitFor([&] { return dev->WriteOutcome(third) != THidDevice::WriteState::kPending; }));
  std::uint32_t error = 0;
  EXPECT_EQ(dev->WriteOutcome(first, &error), THidDevice::WriteState::kFailed);
  EXPECT_EQ(dev->WriteOutcome(third, &error), THidDevice::WriteState::kFailed);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_EQ(platform.OutputReportCount(id), 0u) << "nothing behind the failed report was written";

  std::uint32_t written = 0;
  EXPECT_TRUE(dev->WriteReport(info, 65, written)) << "the writer goes on after a failure";
  EXPECT_EQ(platform.OutputReportCount(id), 1u);

  // Given back while a write is stuck: the object does not wait for the system to let go.
  platform.StallWrites(id, 1, 400, ETIMEDOUT);
  const std::uint64_t stuck = dev->QueueReport(info, 65);
  Pump(20);
  EXPECT_EQ(dev->WriteOutcome(stuck), THidDevice::WriteState::kPending);
  delete dev;
  EXPECT_EQ(ctl->Count(), 1);
  Pump(450);  // the left-behind writer ends before the platform does
}

// A device that takes one report every 100 ms: the reports still queued when
// the object is given back are dropped, so none reaches the device later.
TEST_F(ControllerFixture, GivingBackWhileReportsAreQueuedOnASlowDeviceDropsThem) {
  sim::SimProfile profile;
  ASSERT_TRUE(sim::DefaultProfile(2, profile));
  profile.paceMs = 100;
  const int id = platform.PlugBootloader(profile);
  Start();
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl->CheckOutByIndex(dev, 0));
  const std::uint8_t info[65] = {0, 0x0F, 0x02};
  for (int i = 0; i < 5; ++i) dev->QueueReport(info, 65);
  ASSERT_TRUE(WaitFor([&] { return platform.OutputReportCount(id) >= 1; }));
  delete dev;
  const std::size_t sent = platform.OutputReportCount(id);
  EXPECT_LT(sent, 5u);
  Pump(600);
  EXPECT_EQ(platform.OutputReportCount(id), sent) << "a report reached the device after its object was gone";
}

// --- a stop that meets a completed read ------------------------------------------------

// A platform with one interface whose reads complete when the test says so.
class GatedPlatform : public HidPlatform {
 public:
  class Channel : public HidReadChannel {
   public:
    explicit Channel(GatedPlatform& p) : p_(p) {}
    Result Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override {
      std::unique_lock lock(p_.m);
      if (!p_.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return p_.ready > 0 || closed_; }))
        return {Status::kTimeout, 0, 0};
      if (closed_) return {Status::kClosed, 0, 0};
      --p_.ready;
      std::fill_n(buffer, capacity, std::uint8_t{0x5A});
      buffer[0] = 0;
      return {Status::kData, capacity, 0};
    }
    void Close() override {
      std::lock_guard lock(p_.m);
      closed_ = true;
      p_.cv.notify_all();
    }
    // Not woken: the stop has to meet the read that completes meanwhile.
    void Interrupt() override {}

   private:
    GatedPlatform& p_;
    bool closed_ = false;
  };
  class Conn : public HidConnection {
   public:
    bool ReadWriteAccess() const override { return true; }
    bool GetAttributes(THidAttributes&) override { return true; }
    bool GetProductString(std::u16string& t) override { return !(t = u"gated").empty(); }
    bool GetSerialString(std::u16string& t) override { return (t.clear(), true); }
    bool GetCaps(THidCaps& c) override { return (c = {65, 65}, true); }
    bool Write(const std::uint8_t*, std::size_t, std::size_t&, std::uint32_t&) override { return false; }
  };
  ~GatedPlatform() override { WaitForReaders(); }  // its channels use `m` and `cv`
  std::vector<THidPnPInfo> Scan() override { return {{7, "gated"}}; }
  std::unique_ptr<HidConnection> Open(const THidPnPInfo&) override { return std::make_unique<Conn>(); }
  std::shared_ptr<HidReadChannel> OpenReader(const THidPnPInfo&, std::uint32_t&) override {
    std::unique_lock lock(m);
    ++opens;
    cv.notify_all();
    cv.wait(lock, [&] { return !holdOpens; });
    return std::make_shared<Channel>(*this);
  }
  void SetChangeHandler(std::function<void()>) override {}
  void Release() {
    std::lock_guard lock(m);
    ++ready;
    cv.notify_all();
  }
  // Opens wait until LetOpen while `holdOpens` is set.
  void LetOpen() {
    std::lock_guard lock(m);
    holdOpens = false;
    cv.notify_all();
  }
  int Opens() {
    std::lock_guard lock(m);
    return opens;
  }
  std::mutex m;
  std::condition_variable cv;
  int ready = 0;
  int opens = 0;
  bool holdOpens = false;
};

TEST(DeviceReader, ReportCompletedWhenTheStopIsRequestedIsDropped) {
  GatedPlatform platform;
  THidDeviceController ctl(platform);
  ASSERT_TRUE(WaitFor([&] { return ctl.Count() == 1; }));
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl.CheckOutByIndex(dev, 0));
  ASSERT_TRUE(dev->SetReadSlice(10000));  // the read is in one long wait when the stop comes
  int calls = 0;
  dev->SetDataHandler({[&](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t size) {
                         EXPECT_EQ(size, 64);
                         ++calls;
                       },
                       1});
  platform.Release();
  ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
  std::thread completer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    platform.Release();  // completes the pending read while the stop waits for the reader
  });
  dev->SetDataHandler({});
  completer.join();
  Pump(50);
  EXPECT_EQ(calls, 1);
  delete dev;
}

// A pause that comes while the reader still opens its channel: what the
// device sends meanwhile waits for the next handler instead of being read
// and dropped.
TEST(DeviceReader, PauseWhileTheChannelOpensKeepsTheReportsForTheNextHandler) {
  GatedPlatform platform;
  platform.holdOpens = true;
  THidDeviceController ctl(platform);
  ASSERT_TRUE(WaitFor([&] { return ctl.Count() == 1; }));
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl.CheckOutByIndex(dev, 0));
  int calls = 0;
  const THidDataEvent handler{[&](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++calls; }, 1};
  dev->SetDataHandler(handler);
  ASSERT_TRUE(WaitFor([&] { return platform.Opens() == 1; }));
  dev->SetDataHandler({});  // does not wait for the open
  platform.Release();       // a report waits in the device
  platform.LetOpen();
  Pump(200);
  EXPECT_EQ(calls, 0);
  dev->SetDataHandler(handler);
  EXPECT_TRUE(WaitFor([&] { return calls == 1; }));
  EXPECT_EQ(platform.Opens(), 1);
  delete dev;
}

}  // namespace
}  // namespace quorvel::hid
