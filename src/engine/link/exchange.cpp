// SPDX-License-Identifier: Apache-2.0
// Frames on the wire, the wait for an acknowledgement, and reception.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/link/link.h"
#include "engine/texts.h"
#include "protocol/frames.h"

namespace quorvel {

namespace {

// Report ID plus the 64 payload bytes of the bootloader's reports.
constexpr std::uint16_t kMaxOutputReportLength = 65;

// The machine's clock: a steady clock, and the window timer for the time-out.
class TimerWaitClock final : public TWaitClock {
 public:
  explicit TimerWaitClock(QTimer& timer) : timer_(timer) {
    elapsed_.start();
    connection_ = QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
      if (tick_) tick_();
    });
  }
  ~TimerWaitClock() override { QObject::disconnect(connection_); }
  TimerWaitClock(const TimerWaitClock&) = delete;
  TimerWaitClock& operator=(const TimerWaitClock&) = delete;
  std::int64_t NowMs() const override { return elapsed_.elapsed(); }
  void Start(int ms, std::function<void()> tick) override {
    tick_ = std::move(tick);
    timer_.setInterval(std::max(ms, 0));
    timer_.start();
  }
  void Stop() override { timer_.stop(); }
  int RemainingMs() const override { return timer_.isActive() ? std::max(timer_.remainingTime(), 0) : -1; }
  bool Idle() override { return false; }

 private:
  QTimer& timer_;
  QElapsedTimer elapsed_;
  std::function<void()> tick_;
  QMetaObject::Connection connection_;
};

template <std::size_t N>
void Stage(TByteArray& buffer, const std::array<std::uint8_t, N>& frame) {
  // TransferBuffer never shrinks below TransferBufferMinimum, so a frame always fits.
  if (buffer.size() < N) buffer.resize(N, 0);
  std::copy(frame.begin(), frame.end(), buffer.begin());
}

}  // namespace

std::unique_ptr<TWaitClock> MakeTimerWaitClock(QTimer& timer) {
  return std::make_unique<TimerWaitClock>(timer);
}

void Link::UseWaitClock(TWaitClock* clock) {
  waitClock_->Stop();
  waitClock_ = clock != nullptr ? clock : machineClock_.get();
}

template <std::size_t N>
int Link::SendFrame(const std::array<std::uint8_t, N>& frame, Expecting expecting) {
  // Inside a Write's data the device would store the frame as data.
  if (DataOwed() > 0) openWrite_.lost = true;
  Stage(TransferBuffer, frame);
  return Transmit(TransferBuffer.data(), static_cast<int>(N), expecting);
}

void Link::SendSync() { SendFrame(ShortFrame(Sync), Expecting::Answer); }

void Link::SendInfo() { SendFrame(ShortFrame(Info), Expecting::Answer); }

void Link::SendBoot() { SendFrame(ShortFrame(Boot), Expecting::Answer); }

bool Link::SendReboot() {
  // The device's disappearance after the restart is expected, not a reason to ask for a reset.
  ReenterHint = false;
  const bool atBoundary = DataOwed() == 0;
  return SendFrame(ShortFrame(Reboot), Expecting::Nothing) == 0 && atBoundary;
}

void Link::SendWrite(std::uint32_t address, std::uint16_t count) {
  const int result = SendFrame(AddressFrame(Write, address, count), Expecting::Nothing);
  // A frame that may not have arrived leaves it open whether the device now expects data.
  openWrite_ = {ActiveDevice, count, result != 0};
}

void Link::SendErase(std::uint32_t address, std::uint16_t count) {
  SendFrame(AddressFrame(Erase, address, count), Expecting::Answer);
}

std::uint32_t Link::DataOwed() const {
  return ActiveDevice != nullptr && openWrite_.device == ActiveDevice ? openWrite_.owed : 0;
}

bool Link::DataPhaseLost() const { return DataOwed() > 0 && openWrite_.lost; }

std::int64_t Link::WaitClockNowMs() const { return waitClock_->NowMs(); }

int Link::WriteTransfer(const std::uint8_t* data, int count) {
  count = std::clamp(count, 0, static_cast<int>(TransferBuffer.size()));
  if (count > 0 && data != TransferBuffer.data()) std::copy(data, data + count, TransferBuffer.begin());
  const std::uint32_t owed = DataOwed();
  const int result = Transmit(TransferBuffer.data(), count, Expecting::Answer);
  if (owed > 0) {
    openWrite_.owed = owed - std::min<std::uint32_t>(owed, static_cast<std::uint32_t>(count));
    if (result != 0) openWrite_.lost = true;
  }
  return result;
}

int Link::Transmit(const std::uint8_t* data, int count, Expecting expecting) {
  // Reset first, also when nothing can be sent: any later report answers this transfer.
  RxCount = 0;
  RxReady = false;
  expecting_ = expecting;
  if (ActiveDevice == nullptr) return 1;
  BoardConnection* const device = ActiveDevice;

  std::uint64_t last = 0;
  std::size_t position = 0;
  while (count > 0) {
    const std::uint16_t length = device->OutputReportBytes();
    // A report longer than ID + 64 bytes cannot be filled from a frame, and
    // one without room for data cannot carry it: refuse rather than overflow.
    if (length < 2 || length > kMaxOutputReportLength) return -1;

    std::array<std::uint8_t, kMaxOutputReportLength> report{};  // bytes after the data stay 0
    const int chunk = std::min(count, length - 1);
    std::memcpy(report.data() + 1, data + position, static_cast<std::size_t>(chunk));
    position += static_cast<std::size_t>(chunk);
    count -= chunk;
    // Queued for the device's writer, which takes the whole transfer in one go.
    last = device->Send(report.data(), length);
  }
  if (last == 0) return -1;

  // The writer may be held up by a device that stopped reading: wait for it
  // as for an answer, keeping the window alive. A failed report is not
  // retried; the missing acknowledgement shows as a time-out.
  const TBusySection busy(*this);
  BoardConnection::SendState state = device->Outcome(last);
  while (state == BoardConnection::SendState::Pending) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    state = device->Outcome(last);
    // A removal handled meanwhile drops the device (its object stays until
    // the busy section ends); a Reboot's report may well have gone out first.
    if (state == BoardConnection::SendState::Pending && ActiveDevice != device) return -1;
  }
  return state == BoardConnection::SendState::Sent ? 0 : -1;
}

bool Link::SendOwedData(const std::uint8_t* data, int count, int reportMs, std::int64_t deadlineMs) {
  BoardConnection* const device = ActiveDevice;
  count = std::clamp(count, 0, static_cast<int>(DataOwed()));
  if (device == nullptr || count == 0) return false;
  RxCount = 0;
  RxReady = false;
  expecting_ = Expecting::DataAnswers;
  const std::uint16_t length = device->OutputReportBytes();
  const auto lose = [this] {
    openWrite_.lost = true;
    return false;
  };
  if (length < 2 || length > kMaxOutputReportLength) return lose();

  const TBusySection busy(*this);
  TWaitClock& clock = *waitClock_;
  for (int position = 0; position < count;) {
    // A refusal among the answers: the device's place in the command is unknown.
    if (openWrite_.lost) return false;
    if (ActiveDevice != device) return lose();
    const int limit = static_cast<int>(std::min<std::int64_t>(reportMs, deadlineMs - clock.NowMs()));
    if (limit <= 0) return lose();
    std::array<std::uint8_t, kMaxOutputReportLength> report{};
    const int chunk = std::min(count - position, length - 1);
    std::memcpy(report.data() + 1, data + position, static_cast<std::size_t>(chunk));
    position += chunk;
    // One report at a time: each must be taken in time, or the device is not taking data.
    const std::uint64_t ticket = device->Send(report.data(), length);
    WaitExpired = false;
    clock.Start(limit, [this] { Timer2Timer(); });
    BoardConnection::SendState state = device->Outcome(ticket);
    // Woken by the write's outcome or the timer's tick. A simulated clock is
    // not moved on here: it cannot tell a report on its way from one the
    // device is not taking, so it would expire reports that are fine.
    while (state == BoardConnection::SendState::Pending && !WaitExpired && ActiveDevice == device) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      state = device->Outcome(ticket);
    }
    clock.Stop();
    if (state != BoardConnection::SendState::Sent) return lose();
    openWrite_.owed -= static_cast<std::uint32_t>(chunk);
  }
  return !openWrite_.lost;
}

bool Link::CheckResponse(std::uint8_t command) {
  const std::uint8_t code = command & 0x7F;
  switch (code) {
    case Info:
      return ParseBootInfo();
    case Sync:
    case Boot:
    case Write:
    case Erase: {
      // A report that is not the expected answer is consumed without effect.
      if (!RxReady) return false;
      RxReady = false;
      const bool acknowledged = IsAcknowledgement(
          TransferBuffer.data(), std::min<std::size_t>(RxCount, TransferBuffer.size()), code);
      // A chunk refused with data still to come: where the device now is
      // inside its Write is unknown.
      if (!acknowledged && code == Write && DataOwed() > 0) openWrite_.lost = true;
      return acknowledged;
    }
    default:
      return false;
  }
}

TWaitResult Link::WaitResponse(std::uint8_t command, int timeoutMs) {
  const TBusySection busy(*this);
  TWaitClock& clock = *waitClock_;
  const auto tick = [this] { Timer2Timer(); };
  // A wait started while another one is pending (a handler run from inside
  // it) must not cost the outer wait its time-out: remember its deadline.
  const int outerRemaining = clock.RemainingMs();
  const bool nested = outerRemaining >= 0;
  const bool outerExpired = nested && WaitExpired;
  const std::int64_t started = clock.NowMs();

  WaitExpired = false;
  clock.Start(std::max(timeoutMs, 0), tick);
  TWaitResult result = WaitAcknowledged;
  for (;;) {
    if (ActiveDevice == nullptr) {
      result = WaitDeviceGone;
      break;
    }
    if (WaitExpired) {
      result = WaitTimedOut;
      break;
    }
    if (State().Current() == Activity::HandshakeCancelling || WaitsAbandoned) {
      result = WaitCancelled;
      break;
    }
    if (CheckResponse(command)) {
      result = WaitAcknowledged;
      break;
    }
    if (clock.Idle()) continue;
    // Sleeps until something happens (a delivery, a tick, a click, a device
    // notification) instead of spinning a core for the length of the wait.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  clock.Stop();
  LastWait = result;
  // Answers that come from now on answer nothing, unless an outer wait still waits for its own.
  expecting_ = nested ? Expecting::Answer : Expecting::Nothing;
  if (nested) {
    WaitExpired = outerExpired;
    clock.Start(static_cast<int>(std::max<std::int64_t>(outerRemaining - (clock.NowMs() - started), 0)),
                tick);
  }
  return result;
}

QString Link::WaitErrorLine(TWaitResult result) {
  switch (result) {
    case WaitDeviceGone:
      return text::kDeviceRemoved;
    case WaitTimedOut:
      return text::kTimeout;
    case WaitAcknowledged:
    case WaitCancelled:
      break;
  }
  return {};
}

void Link::ReportWaitError(TWaitResult result) {
  const QString line = WaitErrorLine(result);
  if (!line.isEmpty()) events_.AppendError(line);
}

void Link::Timer2Timer() { WaitExpired = true; }

void Link::ReportReceived(BoardConnection* from, const std::uint8_t* data, std::uint16_t size) {
  ShowRead(from, data, size);
}

void Link::ShowRead(BoardConnection* dev, const std::uint8_t* data, std::uint16_t size) {
  // A report answers an exchange of the board it came from, and only while
  // that exchange expects an answer: a late answer, a board no longer chosen
  // (or one the link does not hold), a frame answered that takes no answer
  // must not pass for the next answer.
  if (dev == nullptr || dev != ActiveDevice || expecting_ == Expecting::Nothing) {
    ++DroppedReports;
    return;
  }
  if (expecting_ == Expecting::DataAnswers) {
    if (data == nullptr || !IsAcknowledgement(data, size, Write)) openWrite_.lost = true;
    return;
  }
  // Bytes beyond the end of TransferBuffer are dropped: a second report before
  // the next transfer must not write past it.
  const std::size_t room = TransferBuffer.size() > RxCount ? TransferBuffer.size() - RxCount : 0;
  const std::size_t taken = data != nullptr ? std::min<std::size_t>(size, room) : 0;
  if (taken > 0) std::memcpy(TransferBuffer.data() + RxCount, data, taken);
  RxCount = static_cast<std::uint16_t>(RxCount + taken);
  RxReady = true;
}

}  // namespace quorvel
