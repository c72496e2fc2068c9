// SPDX-License-Identifier: Apache-2.0
#pragma once
// THidDevice: one HID interface handed out by the controller.
//
// Created and listed by THidDeviceController. A checked-out object belongs to
// the application, which gives it back by deleting it; the controller then
// lists a fresh object for the same interface in its place.
//
// A reader thread runs for a checked-out, plugged-in object with read/write
// access and a data handler. It waits for reports in slices of ReadSliceMs and
// hands each one to the data handler on the thread that owns the controller (the
// Qt UI thread), blocking until the handler has returned.
//
// Output reports are written by a writer thread of the object, started with
// the first report queued: a device that stops reading makes a write block in
// the kernel for seconds, which must not freeze the UI thread. Its completions
// come back to the owning thread as posted wake-ups, the way reports do.
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_types.h"

namespace quorvel::hid {

class HidPlatform;
class HidConnection;
class HidReadChannel;
class WakeupReceiver;
struct ReaderShared;
struct WriterShared;
struct ReaderGate;

class THidDevice {
 public:
  // Inspects the interface (without opening it) for its attributes. Throws EControllerError
  // "Device cannot be opened" / "Device cannot be identified".
  THidDevice(HidPlatform& platform, THidPnPInfo info, THidDeviceController* owner, THidDataEvent dataHandler,
             THidPlugEvent unplugHandler);
  THidDevice(const THidDevice&) = delete;
  THidDevice& operator=(const THidDevice&) = delete;
  // Stops the reader, closes the handles and, when listed by a controller,
  // gives the object back to it.
  ~THidDevice();

  // Cached once read; retried while empty. At most 254 UTF-16 units.
  std::u16string ProductString();
  // The serial number as the platform gives it (empty: none). Cached like the
  // product string.
  std::u16string SerialString();
  void ReportCaps(THidCaps& caps);

  enum class WriteState { kPending, kWritten, kFailed };
  // Queues one whole output report for the writer. Returns its ticket, or 0
  // when it cannot be written at all (query-only, unplugged, not accessible).
  std::uint64_t QueueReport(const std::uint8_t* buffer, std::uint32_t count);
  // What became of a queued report. A report that fails takes those queued
  // behind it with it: they would only stall or confuse the device further.
  WriteState WriteOutcome(std::uint64_t ticket, std::uint32_t* error = nullptr) const;
  // Queues one report and waits for its outcome, processing events meanwhile
  // (the object must not be destroyed by them).
  bool WriteReport(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& written);
  // Attaching starts the reader (when the object may have one); detaching stops it.
  void SetDataHandler(THidDataEvent handler);
  void SetDataErrorHandler(THidDataErrorEvent handler) { dataErrorHandler_ = std::move(handler); }
  void SetUnplugHandler(THidPlugEvent handler) { unplugHandler_ = std::move(handler); }
  const THidDataEvent& DataHandler() const { return dataHandler_; }
  const THidDataErrorEvent& DataErrorHandler() const { return dataErrorHandler_; }
  const THidPlugEvent& UnplugHandler() const { return unplugHandler_; }

  const THidAttributes& Attributes() const { return attributes_; }
  const THidPnPInfo& PnPInfo() const { return info_; }
  bool ReadWriteAccess() const { return readWriteAccess_; }
  bool PluggedIn() const { return pluggedIn_.load(); }
  bool CheckedOut() const { return checkedOut_.load(); }
  bool InHandler() const { return inHandler_.load(); }
  bool HasReader() const { return readerRunning_; }
  std::int32_t ReadSliceMs() const { return readSliceMs_.load(); }
  // Accepts 10 to 10000 ms; other values are ignored (false).
  bool SetReadSlice(std::int32_t ms);
  THidDeviceController* OwnerController() const { return owner_; }

  // --- used by the controller ---
  void MarkUnplugged();
  void StartReader();
  void StopReader();
  // Drops the reports not yet written and ends the writer; a write the
  // system still holds is left to finish on its own.
  void StopWriter();
  void SetCheckedOut(bool value) { checkedOut_.store(value); }
  void SetInHandler(bool value) { inHandler_.store(value); }
  void Detach() { owner_ = nullptr; }
  // Closes every handle the object holds but the reader's.
  void CloseQueryHandle();
  // Hands the PnP info to the object that replaces this one.
  THidPnPInfo TakePnPInfo() { return std::move(info_); }
  bool IsAccessible() const { return PluggedIn() && (CheckedOut() || InHandler()); }

 private:
  bool OpenQueryHandle();
  // Lets a reader that is not running end on its own.
  void EndReader();
  void ReaderLoop(std::shared_ptr<ReaderShared> shared, std::shared_ptr<ReaderGate> gate, HidPlatform& platform,
                  THidPnPInfo info, std::uint16_t inputLength);
  // Hands one report (or a read failure) to the owning thread and waits until
  // it was handled; false when the reader is to end.
  bool Deliver(const std::shared_ptr<ReaderShared>& shared, std::vector<std::uint8_t> report, bool isError,
               std::uint32_t error);

  HidPlatform& platform_;
  THidPnPInfo info_;
  THidDeviceController* owner_;
  THidAttributes attributes_;
  std::atomic<bool> pluggedIn_{true};
  std::atomic<bool> checkedOut_{false};
  std::atomic<bool> inHandler_{false};
  std::atomic<std::int32_t> readSliceMs_{100};
  bool readWriteAccess_ = false;
  std::unique_ptr<HidConnection> query_;
  // Kept once read, empty values too: a board without a serial is not opened again for it. A read
  // that failed is tried again next time.
  std::optional<std::u16string> productCache_;
  std::optional<std::u16string> serialCache_;
  std::optional<THidCaps> capsCache_;  // like preparsed data: kept once obtained
  THidDataEvent dataHandler_;
  THidDataErrorEvent dataErrorHandler_;
  THidPlugEvent unplugHandler_;
  std::shared_ptr<ReaderGate> gate_;            // holds writes while the reader opens its channel
  std::shared_ptr<ReaderShared> readerShared_;  // state shared with the reader thread
  std::thread reader_;   // kept while paused between handlers, so its channel stays open
  bool readerRunning_ = false;
  std::shared_ptr<WriterShared> writerShared_;  // state shared with the writer thread
  std::thread writer_;
  WakeupReceiver* deliveryContext_ = nullptr;  // lives on the owning thread; receives posted deliveries
};

}  // namespace quorvel::hid
