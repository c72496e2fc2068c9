#include "sim/uhid_device.h"

#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace quorvel::sim {
namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The event structure is over 4 KiB; keep it off the stack.
std::unique_ptr<uhid_event> NewEvent(std::uint32_t type) {
  auto event = std::make_unique<uhid_event>();
  std::memset(event.get(), 0, sizeof(uhid_event));
  event->type = type;
  return event;
}

void CopyText(std::uint8_t* dst, std::size_t capacity, const std::string& text) {
  // The kernel expects NUL-terminated strings; longer ones are cut.
  const std::size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(dst, text.data(), n);
  dst[n] = 0;
}

const char* EventName(std::uint32_t type) {
  switch (type) {
    case UHID_START: return "START";
    case UHID_STOP: return "STOP";
    case UHID_OPEN: return "OPEN";
    case UHID_CLOSE: return "CLOSE";
    case UHID_OUTPUT: return "OUTPUT";
    case UHID_GET_REPORT: return "GET_REPORT";
    case UHID_SET_REPORT: return "SET_REPORT";
    default: return "unknown";
  }
}

}  // namespace

const std::vector<std::uint8_t>& BootloaderReportDescriptor() {
  static const std::vector<std::uint8_t> descriptor = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8 bits)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x01,        //   Usage (1)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x01,        //   Usage (1)
      0x91, 0x02,        //   Output (Data, Variable, Absolute)
      0xC0,              // End Collection
  };
  return descriptor;
}

UhidBootloader::UhidBootloader(int uhidFd, UhidOptions options, UhidCallbacks callbacks)
    : fd_(uhidFd), options_(std::move(options)), callbacks_(std::move(callbacks)) {}

UhidBootloader::~UhidBootloader() {
  if (state_ == State::kAwaitingStart || state_ == State::kRunning) Destroy();
}

void UhidBootloader::Note(const std::string& text) {
  if (callbacks_.onNote) callbacks_.onNote(text);
}

bool UhidBootloader::WriteEvent(const void* event, std::size_t size) {
  for (;;) {
    const ssize_t n = ::write(fd_, event, size);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n < 0 && errno == EINTR) continue;
    Note(std::string("uhid write failed: ") + (n < 0 ? std::strerror(errno) : "short write"));
    fdFailed_ = true;
    return false;
  }
}

bool UhidBootloader::Create() {
  auto event = NewEvent(UHID_CREATE2);
  auto& req = event->u.create2;
  CopyText(req.name, sizeof req.name, options_.identity.name);
  CopyText(req.phys, sizeof req.phys, options_.identity.physPrefix + "/" + std::to_string(incarnation_ + 1));
  CopyText(req.uniq, sizeof req.uniq, options_.identity.serial);
  const auto& descriptor = BootloaderReportDescriptor();
  std::memcpy(req.rd_data, descriptor.data(), descriptor.size());
  req.rd_size = static_cast<std::uint16_t>(descriptor.size());
  req.bus = BUS_USB;
  req.vendor = options_.identity.vendorId;
  req.product = options_.identity.productId;
  req.version = options_.identity.version;
  req.country = 0;
  if (!WriteEvent(event.get(), sizeof(uhid_event))) return false;
  ++incarnation_;
  state_ = State::kAwaitingStart;
  return true;
}

void UhidBootloader::Destroy() {
  state_ = State::kGone;
  if (fdFailed_) return;  // nothing left to tell the kernel
  auto event = NewEvent(UHID_DESTROY);
  WriteEvent(event.get(), sizeof(uhid_event));
}

bool UhidBootloader::SendInput(const UhidReport& report) {
  auto event = NewEvent(UHID_INPUT2);
  event->u.input2.size = static_cast<std::uint16_t>(report.size());
  std::memcpy(event->u.input2.data, report.data(), report.size());
  return WriteEvent(event.get(), sizeof(uhid_event));
}

bool UhidBootloader::Pause(int stopFd, std::uint32_t ms) {
  if (ms == 0) return !stopRequested_;
  const std::int64_t until = NowMs() + ms;
  for (;;) {
    const std::int64_t left = until - NowMs();
    if (left <= 0) return true;
    pollfd p{stopFd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) {
      stopRequested_ = true;
      return false;
    }
    if (r < 0 && errno != EINTR) return true;
  }
}

// Returns false when serving must end (stop requested, fd failure, vanished for good).
bool UhidBootloader::HandleEvent(int stopFd) {
  auto event = NewEvent(0);
  ssize_t n;
  do {
    n = ::read(fd_, event.get(), sizeof(uhid_event));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return true;
  if (n <= 0) {
    Note(std::string("uhid read failed: ") + (n < 0 ? std::strerror(errno) : "end of file"));
    fdFailed_ = true;
    return false;
  }
  if (static_cast<std::size_t>(n) < sizeof event->type) return true;

  // Between a destroy and the next START the queue still holds events of the
  // old device (its CLOSE and STOP, reports written before it went away).
  // They must not touch the new one.
  if (state_ != State::kRunning) {
    if (state_ == State::kAwaitingStart && event->type == UHID_START) {
      state_ = State::kRunning;
      if (callbacks_.onStarted) callbacks_.onStarted(incarnation_);
    }
    return true;
  }

  switch (event->type) {
    case UHID_OUTPUT: {
      const auto& out = event->u.output;
      if (out.rtype != UHID_OUTPUT_REPORT) return true;
      // The kernel hands over what was written to hidraw: the report-ID byte
      // (always 0 here) and then the payload.
      const std::size_t size = std::min<std::size_t>(out.size, UHID_DATA_MAX);
      if (size != kUhidReportSize + 1) {
        Note("output report of " + std::to_string(size) + " bytes, expected " +
             std::to_string(kUhidReportSize + 1));
      }
      UhidReport report{};
      if (size > 1) std::copy_n(out.data + 1, std::min(size - 1, kUhidReportSize), report.begin());
      if (!Pause(stopFd, options_.paceMs)) return false;
      UhidReaction reaction = callbacks_.onReport ? callbacks_.onReport(report) : UhidReaction{};
      for (const auto& reply : reaction.replies) {
        if (!Pause(stopFd, options_.paceMs)) return false;
        if (!SendInput(reply)) return false;
      }
      if (reaction.vanish) {
        Destroy();
        const bool willReturn = options_.recreateAfterMs >= 0;
        if (callbacks_.onDestroyed) callbacks_.onDestroyed(willReturn);
        if (!willReturn) return false;
        deadlineMs_ = NowMs() + options_.recreateAfterMs;
      }
      return true;
    }
    case UHID_GET_REPORT: {
      // No feature or input reports on request: refuse at once instead of
      // letting the caller wait for the kernel's time-out.
      auto reply = NewEvent(UHID_GET_REPORT_REPLY);
      reply->u.get_report_reply.id = event->u.get_report.id;
      reply->u.get_report_reply.err = EIO;
      return WriteEvent(reply.get(), sizeof(uhid_event));
    }
    case UHID_SET_REPORT: {
      auto reply = NewEvent(UHID_SET_REPORT_REPLY);
      reply->u.set_report_reply.id = event->u.set_report.id;
      reply->u.set_report_reply.err = EIO;
      return WriteEvent(reply.get(), sizeof(uhid_event));
    }
    case UHID_OPEN:
    case UHID_CLOSE:
      return true;
    default:
      Note(std::string("ignored uhid event ") + EventName(event->type));
      return true;
  }
}

int UhidBootloader::Run(int stopFd) {
  state_ = State::kWaitingToCreate;
  deadlineMs_ = NowMs() + options_.createAfterMs;
  for (;;) {
    const bool waiting = state_ == State::kWaitingToCreate || state_ == State::kGone;
    if (waiting && NowMs() >= deadlineMs_) {
      if (!Create()) return 2;
      continue;
    }
    int timeout = -1;
    if (waiting) timeout = static_cast<int>(std::max<std::int64_t>(0, deadlineMs_ - NowMs()));

    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd_, POLLIN, 0}};
    // Before the first creation the uhid fd has nothing to say.
    const nfds_t count = state_ == State::kWaitingToCreate ? 1 : 2;
    const int r = ::poll(fds, count, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 2;
    }
    if (fds[0].revents != 0) stopRequested_ = true;
    if (stopRequested_) break;
    if (count == 2 && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        (fds[1].revents & POLLIN) == 0) {
      Note("uhid file descriptor closed");
      fdFailed_ = true;
      break;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) {
      if (!HandleEvent(stopFd)) break;
    }
  }
  if (state_ == State::kAwaitingStart || state_ == State::kRunning) Destroy();
  return fdFailed_ ? 2 : 0;
}

}  // namespace quorvel::sim
