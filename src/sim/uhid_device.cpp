// SPDX-License-Identifier: Apache-2.0
#include "sim/uhid_device.h"

#include <linux/uhid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace quorvel::sim {
namespace {

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
    case UHID_START:
      return "START";
    case UHID_STOP:
      return "STOP";
    case UHID_OPEN:
      return "OPEN";
    case UHID_CLOSE:
      return "CLOSE";
    case UHID_OUTPUT:
      return "OUTPUT";
    case UHID_GET_REPORT:
      return "GET_REPORT";
    case UHID_SET_REPORT:
      return "SET_REPORT";
    default:
      return "unknown";
  }
}

}  // namespace

UhidBootloader::UhidBootloader(int uhidFd, UhidOptions options, DeviceCallbacks callbacks)
    : DeviceSession(options.timing, std::move(callbacks)),
      fd_(uhidFd),
      identity_(std::move(options.identity)) {}

UhidBootloader::~UhidBootloader() { UnplugIfPresent(); }

bool UhidBootloader::WriteEvent(const void* event, std::size_t size) {
  for (;;) {
    const ssize_t n = ::write(fd_, event, size);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n < 0 && errno == EINTR) continue;
    Error(std::string("uhid write failed: ") + (n < 0 ? std::strerror(errno) : "short write"));
    MarkFdFailed();
    return false;
  }
}

bool UhidBootloader::Create() {
  auto event = NewEvent(UHID_CREATE2);
  auto& req = event->u.create2;
  CopyText(req.name, sizeof req.name, identity_.name);
  CopyText(req.phys, sizeof req.phys, identity_.physPrefix + "/" + std::to_string(Incarnation()));
  CopyText(req.uniq, sizeof req.uniq, identity_.serial);
  const auto& descriptor = BootloaderReportDescriptor();
  std::memcpy(req.rd_data, descriptor.data(), descriptor.size());
  req.rd_size = static_cast<std::uint16_t>(descriptor.size());
  req.bus = BUS_USB;
  req.vendor = identity_.vendorId;
  req.product = identity_.productId;
  req.version = identity_.version;
  req.country = 0;
  return WriteEvent(event.get(), sizeof(uhid_event));
}

void UhidBootloader::Destroy() {
  if (FdFailed()) return;  // nothing left to tell the kernel
  auto event = NewEvent(UHID_DESTROY);
  WriteEvent(event.get(), sizeof(uhid_event));
}

bool UhidBootloader::SendInput(const DeviceReport& report, int /*stopFd*/) {
  auto event = NewEvent(UHID_INPUT2);
  event->u.input2.size = static_cast<std::uint16_t>(report.size());
  std::memcpy(event->u.input2.data, report.data(), report.size());
  return WriteEvent(event.get(), sizeof(uhid_event));
}

// Returns false when serving must end (stop requested, fd failure, vanished for good).
bool UhidBootloader::OnReadable(int stopFd) {
  auto event = NewEvent(0);
  ssize_t n;
  do {
    n = ::read(fd_, event.get(), sizeof(uhid_event));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return true;
  if (n <= 0) {
    Error(std::string("uhid read failed: ") + (n < 0 ? std::strerror(errno) : "end of file"));
    MarkFdFailed();
    return false;
  }
  if (static_cast<std::size_t>(n) < sizeof event->type) return true;

  // Between a destroy and the next START the queue still holds events of the
  // old device (its CLOSE and STOP, reports written before it went away).
  // They must not touch the new one.
  if (CurrentState() != State::kRunning) {
    if (CurrentState() == State::kAwaitingStart && event->type == UHID_START) MarkStarted();
    return true;
  }

  switch (event->type) {
    case UHID_OUTPUT: {
      const auto& out = event->u.output;
      if (out.rtype != UHID_OUTPUT_REPORT) return true;
      // The kernel hands over what was written to hidraw: the report-ID byte
      // (always 0 here) and then the payload.
      const std::size_t size = std::min<std::size_t>(out.size, UHID_DATA_MAX);
      if (size != kDeviceReportSize + 1) {
        Note("output report of " + std::to_string(size) + " bytes, expected " +
             std::to_string(kDeviceReportSize + 1));
      }
      DeviceReport report{};
      if (size > 1) std::copy_n(out.data + 1, std::min(size - 1, kDeviceReportSize), report.begin());
      return Serve(report, stopFd);
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
      return true;
    case UHID_CLOSE:
      Closed();
      return true;
    default:
      Note(std::string("ignored uhid event ") + EventName(event->type));
      return true;
  }
}

}  // namespace quorvel::sim
