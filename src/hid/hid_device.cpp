// SPDX-License-Identifier: Apache-2.0
#include "hid/hid_device.h"

#include <QCoreApplication>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "hid/hid_controller.h"
#include "hid/hid_platform.h"
#include "hid/wakeup_receiver.h"

namespace quorvel::hid {

namespace {
constexpr std::size_t kMaxStringUnits = 254;
// Error code handed to the data-error handler when the object can no longer be
// read (unplugged, or given up by its owner). Same value as ENODEV.
constexpr std::uint32_t kErrorNoDevice = 19;

std::u16string UpToZero(const std::u16string& text) {
  std::u16string out = text.substr(0, std::min(text.find(u'\0'), kMaxStringUnits));
  return out;
}
}  // namespace

// State the reader thread shares with the owning thread. Everything but
// `deliveringDepth` is guarded by `m`.
struct ReaderShared {
  std::mutex m;
  std::condition_variable cv;
  bool terminate = false;  // stop delivering: pause, or end when `end` is set too
  bool end = false;        // close the channel and end; the device no longer waits
  bool finished = false;   // the reader delivers nothing more until it is resumed
  bool opening = false;    // the reader is opening or closing its channel, touching nothing of the device
  bool unplugged = false;  // the read handle must not be (re)opened
  // Opened, read and closed by the reader thread alone; the owning thread
  // only interrupts a read through it.
  std::shared_ptr<HidReadChannel> channel;

  struct Item {
    std::uint64_t id = 0;
    bool isError = false;
    std::uint32_t error = 0;
    std::vector<std::uint8_t> report;  // report-ID byte first
  };
  std::optional<Item> pending;  // posted, not yet taken by the owning thread
  std::uint64_t postedId = 0;
  std::uint64_t doneId = 0;    // the reader may go on once doneId reaches its item
  int deliveringDepth = 0;     // owning thread only: deliveries of this reader on its stack
};

// Holds the writer's reports while the reader opens its channel, so an answer
// to the first report cannot come before there is a channel to buffer it.
struct ReaderGate {
  std::mutex m;
  std::condition_variable cv;
  bool opening = false;

  void Open() {
    std::lock_guard lock(m);
    opening = false;
    cv.notify_all();
  }
};

// State the writer thread shares with the owning thread, guarded by `m`. It
// outlives the device object when a write is still in the kernel at its end.
struct WriterShared {
  std::mutex m;
  std::condition_variable cv;
  struct Job {
    std::uint64_t id = 0;
    std::vector<std::uint8_t> report;
  };
  std::deque<Job> queue;
  // The write handle: opened, used and closed by the writer thread alone, as
  // an open or close can wait seconds on the kernel's lock shared by all HID nodes.
  HidPlatform* platform = nullptr;
  THidPnPInfo info;
  std::unique_ptr<HidConnection> connection;
  std::shared_ptr<ReaderGate> gate;
  std::atomic<bool> abandoned{false};  // set before the gate is told, so a held writer lets go
  bool stop = false;
  bool finished = false;
  std::uint64_t lastQueued = 0;
  std::uint64_t lastDone = 0;  // every report up to this ticket has its outcome
  // Tickets of reports that were not written, as ranges; only the latest few
  // are kept, as callers ask about the batch they just queued.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> failed;
  std::uint32_t error = 0;
  WakeupReceiver* completion = nullptr;  // told when a batch is done; cleared before it is deleted

  void FailLocked(std::uint64_t first, std::uint64_t last, std::uint32_t code) {
    failed.emplace_back(first, last);
    if (failed.size() > 8) failed.pop_front();
    error = code;
    lastDone = std::max(lastDone, last);
  }
  // The report `id` failed: those queued behind it fail with it.
  void FailFromLocked(std::uint64_t id, std::uint32_t code) {
    const std::uint64_t last = queue.empty() ? id : queue.back().id;
    queue.clear();
    FailLocked(id, last, code);
  }
};

namespace {

// How long a device object's end waits for a write already in the system. A
// healthy device takes a report within a few milliseconds; one that stopped
// reading holds it for seconds, and then the writer is left to finish alone.
constexpr auto kWriterStopWait = std::chrono::milliseconds(250);

void WriterLoop(std::shared_ptr<WriterShared> w) {
  std::unique_lock lock(w->m);
  for (;;) {
    w->cv.wait(lock, [&] { return w->stop || !w->queue.empty(); });
    if (w->queue.empty()) break;
    WriterShared::Job job = std::move(w->queue.front());
    w->queue.pop_front();
    lock.unlock();
    std::size_t written = 0;
    std::uint32_t error = 0;
    bool ok = false;
    if (!w->connection) {
      w->connection = w->platform->Open(w->info);
      if (!w->connection) {
        error = ENODEV;
      } else if (!w->connection->ReadWriteAccess()) {
        w->connection.reset();
        error = EACCES;
      }
    }
    if (w->connection) {
      {
        std::unique_lock gateLock(w->gate->m);
        w->gate->cv.wait(gateLock, [&] { return !w->gate->opening || w->abandoned.load(); });
      }
      ok = w->connection->Write(job.report.data(), job.report.size(), written, error);
    }
    lock.lock();
    w->lastDone = std::max(w->lastDone, job.id);
    if (!ok) w->FailFromLocked(job.id, error != 0 ? error : EIO);
    // One wake-up per batch: the owning thread waits for a transfer's last report.
    if ((!ok || w->queue.empty()) && w->completion != nullptr) w->completion->Wake();
    w->cv.notify_all();
  }
  std::unique_ptr<HidConnection> connection = std::move(w->connection);
  lock.unlock();
  connection.reset();  // closed here, not on the owning thread
  lock.lock();
  w->finished = true;
  w->cv.notify_all();
}


// Runs the pending delivery of `shared`, if any, on the owning thread.
void RunPending(THidDevice* dev, ReaderShared& shared, const THidDataEvent& data,
                const THidDataErrorEvent& dataError) {
  ReaderShared::Item item;
  {
    std::lock_guard lock(shared.m);
    if (!shared.pending) return;
    item = std::move(*shared.pending);
    shared.pending.reset();
  }
  ++shared.deliveringDepth;
  try {
    if (item.isError) {
      if (dataError) dataError.fn(dev, item.error);
    } else if (data && !item.report.empty()) {
      data.fn(dev, item.report[0], item.report.data() + 1, static_cast<std::uint16_t>(item.report.size() - 1));
    }
  } catch (const std::exception& e) {
    // An exception must not cross the event loop; the reader must be released.
    qWarning("HID data handler failed: %s", e.what());
  } catch (...) {
    qWarning("HID data handler failed");
  }
  --shared.deliveringDepth;
  {
    std::lock_guard lock(shared.m);
    shared.doneId = std::max(shared.doneId, item.id);
  }
  shared.cv.notify_all();
}
}  // namespace

THidDevice::THidDevice(HidPlatform& platform, THidPnPInfo info, THidDeviceController* owner,
                       THidDataEvent dataHandler, THidPlugEvent unplugHandler)
    : platform_(platform),
      info_(std::move(info)),
      owner_(owner),
      dataHandler_(std::move(dataHandler)),
      unplugHandler_(std::move(unplugHandler)),
      gate_(std::make_shared<ReaderGate>()) {
  // Inspected, not opened: a scan must not open every node it finds.
  query_ = platform_.Inspect(info_);
  if (!query_) throw EControllerError("Device cannot be opened");
  readWriteAccess_ = query_->ReadWriteAccess();
  if (!query_->GetAttributes(attributes_)) {
    query_.reset();
    throw EControllerError("Device cannot be identified");
  }
  // Held open only while something is read from or written to the device.
  query_.reset();
  deliveryContext_ = new WakeupReceiver([this] {
    // Copies: a handler may give its own device back, which frees the shared
    // state and the handlers while this delivery is still on the stack.
    std::shared_ptr<ReaderShared> shared = readerShared_;
    if (!shared) return;
    const THidDataEvent data = dataHandler_;
    const THidDataErrorEvent dataError = dataErrorHandler_;
    RunPending(this, *shared, data, dataError);
  });
}

THidDevice::~THidDevice() {
  THidDataEvent keptData = dataHandler_;
  THidPlugEvent keptUnplug = unplugHandler_;
  SetDataHandler({});
  unplugHandler_ = {};
  StopWriter();
  CloseQueryHandle();
  EndReader();
  // Destroyed from inside one of its own deliveries, the context object is
  // still executing that delivery: let the event loop delete it afterwards.
  deliveryContext_->Detach();
  if (readerShared_ && readerShared_->deliveringDepth > 0) {
    deliveryContext_->deleteLater();
  } else {
    delete deliveryContext_;
  }
  deliveryContext_ = nullptr;
  if (owner_ != nullptr) owner_->GiveBack(this, std::move(keptData), std::move(keptUnplug), readSliceMs_.load());
}

bool THidDevice::OpenQueryHandle() {
  if (query_) return true;
  if (!IsAccessible()) return false;
  query_ = platform_.Inspect(info_);
  if (!query_) return false;
  readWriteAccess_ = query_->ReadWriteAccess();
  return true;
}

void THidDevice::CloseQueryHandle() { query_.reset(); }

void THidDevice::EndReader() {
  if (!reader_.joinable()) return;
  {
    std::lock_guard lock(readerShared_->m);
    readerShared_->end = true;
  }
  readerShared_->cv.notify_all();
  // Paused or opening, it touches nothing of this object any more: it closes
  // its channel and ends on its own, and the platform waits for it.
  reader_.detach();
}

std::u16string THidDevice::ProductString() {
  if (!productCache_ && OpenQueryHandle()) {
    std::u16string text;
    if (query_->GetProductString(text)) productCache_ = UpToZero(text);
    CloseQueryHandle();
  }
  return productCache_.value_or(std::u16string());
}

std::u16string THidDevice::SerialString() {
  if (!serialCache_ && OpenQueryHandle()) {
    std::u16string text;
    if (query_->GetSerialString(text)) serialCache_ = UpToZero(text);
    CloseQueryHandle();
  }
  return serialCache_.value_or(std::u16string());
}

void THidDevice::ReportCaps(THidCaps& caps) {
  if (!capsCache_ && OpenQueryHandle()) {
    THidCaps read;
    if (query_->GetCaps(read)) capsCache_ = read;
    CloseQueryHandle();
  }
  caps = capsCache_.value_or(THidCaps{});
}

std::uint64_t THidDevice::QueueReport(const std::uint8_t* buffer, std::uint32_t count) {
  if (buffer == nullptr || count == 0 || !IsAccessible()) return 0;
  if (!readWriteAccess_) return 0;
  if (!writer_.joinable()) {
    // The writer opens its handle with its first report.
    writerShared_ = std::make_shared<WriterShared>();
    writerShared_->platform = &platform_;
    writerShared_->info = info_;
    writerShared_->gate = gate_;
    writerShared_->completion = deliveryContext_;
    writer_ = std::thread(WriterLoop, writerShared_);
  }
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(writerShared_->m);
    ticket = ++writerShared_->lastQueued;
    writerShared_->queue.push_back({ticket, std::vector<std::uint8_t>(buffer, buffer + count)});
  }
  writerShared_->cv.notify_all();
  return ticket;
}

THidDevice::WriteState THidDevice::WriteOutcome(std::uint64_t ticket, std::uint32_t* error) const {
  if (ticket == 0 || !writerShared_) return WriteState::kFailed;
  std::lock_guard lock(writerShared_->m);
  if (ticket > writerShared_->lastDone) return WriteState::kPending;
  for (const auto& [first, last] : writerShared_->failed) {
    if (ticket < first || ticket > last) continue;
    if (error != nullptr) *error = writerShared_->error;
    return WriteState::kFailed;
  }
  return WriteState::kWritten;
}

bool THidDevice::WriteReport(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& written) {
  written = 0;
  const std::uint64_t ticket = QueueReport(buffer, count);
  WriteState state = WriteOutcome(ticket);
  while (state == WriteState::kPending) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    state = WriteOutcome(ticket);
  }
  if (state != WriteState::kWritten) return false;
  written = count;
  return true;
}

void THidDevice::StopWriter() {
  if (!writer_.joinable()) return;
  const std::shared_ptr<WriterShared> w = writerShared_;
  bool finished = false;
  w->abandoned.store(true);
  {
    std::lock_guard gateLock(gate_->m);
    gate_->cv.notify_all();
  }
  {
    std::unique_lock lock(w->m);
    w->stop = true;
    if (!w->queue.empty()) w->FailFromLocked(w->queue.front().id, ECANCELED);
    w->cv.notify_all();
    finished = w->cv.wait_for(lock, kWriterStopWait, [&] { return w->finished; });
    // A write still in the system counts as failed; its late result changes nothing.
    if (!finished && w->lastDone < w->lastQueued) w->FailLocked(w->lastDone + 1, w->lastQueued, ECANCELED);
    w->completion = nullptr;
  }
  if (finished) {
    writer_.join();
  } else {
    writer_.detach();  // it holds its own share of the state and closes the handle when done
  }
}

void THidDevice::SetDataHandler(THidDataEvent handler) {
  if (!handler) StopReader();
  dataHandler_ = std::move(handler);
  StartReader();
}

bool THidDevice::SetReadSlice(std::int32_t ms) {
  if (ms < 10 || ms > 10000) return false;
  readSliceMs_.store(ms);
  return true;
}

void THidDevice::MarkUnplugged() {
  CloseQueryHandle();
  StopWriter();
  std::shared_ptr<HidReadChannel> channel;
  if (readerShared_) {
    std::lock_guard lock(readerShared_->m);
    readerShared_->unplugged = true;
    channel = readerShared_->channel;
  }
  pluggedIn_.store(false);
  if (readerShared_) readerShared_->cv.notify_all();
  // The reader closes the channel itself once woken.
  if (channel) channel->Interrupt();
  if (!readerRunning_) EndReader();
  THidPlugEvent handler = std::move(unplugHandler_);
  unplugHandler_ = {};
  if (handler) handler.fn(this);
}

void THidDevice::StartReader() {
  if (!dataHandler_ || !PluggedIn() || !CheckedOut() || !readWriteAccess_ || readerRunning_) return;
  THidCaps caps;
  ReportCaps(caps);  // on this thread, so the reader never opens the query handle
  if (!readerShared_) readerShared_ = std::make_shared<ReaderShared>();
  // The reader opens its channel; writes wait for that, so an early answer is
  // buffered rather than lost.
  bool needOpen = false;
  {
    std::lock_guard lock(readerShared_->m);
    needOpen = !readerShared_->channel && !readerShared_->unplugged;
  }
  if (needOpen) {
    std::lock_guard lock(gate_->m);
    gate_->opening = true;
  }
  {
    std::lock_guard lock(readerShared_->m);
    readerShared_->terminate = false;
    readerShared_->finished = false;
    readerShared_->pending.reset();
  }
  readerRunning_ = true;
  if (reader_.joinable()) {
    readerShared_->cv.notify_all();  // resumes the paused reader, its channel still open
    return;
  }
  platform_.ReaderStarted();
  reader_ = std::thread(&THidDevice::ReaderLoop, this, readerShared_, gate_, std::ref(platform_), info_,
                        caps.InputReportByteLength);
}

void THidDevice::StopReader() {
  if (!readerRunning_) {
    if (!PluggedIn()) EndReader();
    return;
  }
  readerRunning_ = false;
  std::shared_ptr<ReaderShared> shared = readerShared_;
  std::shared_ptr<HidReadChannel> channel;
  {
    std::lock_guard lock(shared->m);
    shared->terminate = true;
    // Stopped from inside one of this reader's own deliveries: the reader
    // waits for that delivery, so release it or it could never end.
    if (shared->deliveringDepth > 0) shared->doneId = shared->postedId;
    channel = shared->channel;
  }
  shared->cv.notify_all();
  // Wakes a read in progress rather than waiting out its slice.
  if (channel) channel->Interrupt();
  {
    std::unique_lock lock(shared->m);
    while (!shared->finished && !shared->opening) {
      if (shared->pending) {
        // A delivery queued before the stop still reaches the handler.
        lock.unlock();
        RunPending(this, *shared, dataHandler_, dataErrorHandler_);
        lock.lock();
        continue;
      }
      shared->cv.wait(lock);
    }
  }
  // Paused, the reader keeps its channel open so reports buffer until the next
  // handler; unplugged, there is nothing left to read.
  if (!PluggedIn()) EndReader();
}

bool THidDevice::Deliver(const std::shared_ptr<ReaderShared>& sharedPtr, std::vector<std::uint8_t> report,
                         bool isError, std::uint32_t error) {
  ReaderShared& shared = *sharedPtr;
  std::uint64_t id = 0;
  {
    std::lock_guard lock(shared.m);
    if (shared.terminate) return false;
    id = ++shared.postedId;
    shared.pending = ReaderShared::Item{id, isError, error, std::move(report)};
  }
  deliveryContext_->Wake();
  std::unique_lock lock(shared.m);
  shared.cv.wait(lock, [&] { return shared.doneId >= id; });
  return !shared.terminate;
}

// Kept whole on purpose: the channel's open, its reads, its reopen after a
// failed read and its close hand the same lock and channel between them, and
// each step must see the terminate flag the step before it last saw; split
// into functions those hand-offs would be spread over their parameters.
void THidDevice::ReaderLoop(std::shared_ptr<ReaderShared> shared, std::shared_ptr<ReaderGate> gate,
                            HidPlatform& platform, THidPnPInfo info, std::uint16_t inputLength) {
  // The channel is this thread's for its whole life: opening, reading and
  // closing may each wait on the kernel's lock shared by all HID nodes. Once
  // told to end, nothing of the device is touched: it may be gone.
  std::shared_ptr<HidReadChannel> channel;
  // False when the reader was stopped meanwhile: a stop does not wait out a close.
  auto closeChannel = [&] {
    if (!channel) return true;
    {
      std::lock_guard lock(shared->m);
      shared->channel.reset();
      shared->opening = true;
    }
    channel->Close();
    channel.reset();
    std::lock_guard lock(shared->m);
    shared->opening = false;
    return !shared->terminate;
  };
  std::vector<std::uint8_t> buffer(inputLength > 0 ? inputLength : 65);
  auto wait = [&](std::int32_t ms) {
    std::unique_lock lock(shared->m);
    shared->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return shared->terminate; });
  };
  for (;;) {
    if (channel) gate->Open();
    bool unplugged = false;
    {
      std::unique_lock lock(shared->m);
      if (shared->terminate && !shared->end) {
        // Paused between handlers: the channel stays open, so reports buffer.
        shared->finished = true;
        shared->cv.notify_all();
        shared->cv.wait(lock, [&] { return !shared->terminate || shared->end || (shared->unplugged && channel); });
      }
      if (shared->end) break;
      unplugged = shared->unplugged;
      if (shared->terminate) {  // woken paused by an unplug
        lock.unlock();
        closeChannel();
        continue;
      }
    }
    std::uint32_t failure = 0;
    if (unplugged) {
      if (!closeChannel()) continue;
      failure = kErrorNoDevice;
    } else if (!IsAccessible()) {
      failure = kErrorNoDevice;
    } else if (!channel) {
      {
        std::lock_guard lock(shared->m);
        if (shared->terminate) continue;
        shared->opening = true;
      }
      std::uint32_t error = 0;
      channel = platform.OpenReader(info, error);
      bool stopped = false;
      {
        std::lock_guard lock(shared->m);
        shared->opening = false;
        shared->channel = channel;
        // A stop or unplug that came while the channel was being opened could not interrupt it.
        stopped = shared->terminate || shared->unplugged;
      }
      gate->Open();  // opened or failed: the writer need not wait any longer
      if (stopped) continue;
      if (!channel) failure = error != 0 ? error : kErrorNoDevice;
    }
    if (channel) {
      std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
      const HidReadChannel::Result r = channel->Read(buffer.data(), buffer.size(), readSliceMs_.load());
      {
        std::lock_guard lock(shared->m);
        if (shared->terminate || shared->unplugged) continue;  // a report completed right now is dropped
      }
      switch (r.status) {
        case HidReadChannel::Status::kData:
          if (r.size > 0) {
            std::vector<std::uint8_t> report(buffer.begin(),
                                             buffer.begin() + static_cast<std::ptrdiff_t>(std::min(r.size, buffer.size())));
            Deliver(shared, std::move(report), false, 0);
          }
          continue;
        case HidReadChannel::Status::kTimeout:
        case HidReadChannel::Status::kClosed:
          continue;
        case HidReadChannel::Status::kError:
          failure = r.error != 0 ? r.error : kErrorNoDevice;
          break;
      }
    }
    if (!Deliver(shared, {}, true, failure)) continue;
    // Unlike a busy retry, waiting one slice keeps a dead device from spinning
    // this thread and flooding the owning thread with error deliveries.
    wait(readSliceMs_.load());
  }
  gate->Open();
  closeChannel();
  platform.ReaderEnded();
}

}  // namespace quorvel::hid
