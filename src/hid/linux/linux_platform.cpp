// SPDX-License-Identifier: Apache-2.0
#include "hid/linux/linux_platform.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "hid/report_descriptor.h"
#include "io/display_text.h"

namespace quorvel::hid::linux_hid {

namespace {

constexpr std::uint32_t kErrNoDevice = ENODEV;
constexpr int kCoalesceMs = 30;

constexpr const char* kSysDevices = "/sys/devices/";

// A sysfs attribute as the kernel prints it, without the newline it adds:
// blanks are part of the string the device gave. Read here rather than
// through libudev, whose versions differ in what they strip.
std::string Attr(LinuxSys& sys, const std::string& dir, const char* name) {
  std::string s;
  if (dir.empty() || !sys.ReadFile(dir + "/" + name, s)) return {};
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// One KEY=value line of a uevent file's text; empty when absent.
std::string UeventValue(const std::string& uevent, const std::string& key) {
  const std::string prefix = key + "=";
  std::size_t pos = 0;
  while (pos < uevent.size()) {
    std::size_t end = uevent.find('\n', pos);
    if (end == std::string::npos) end = uevent.size();
    if (uevent.compare(pos, prefix.size(), prefix) == 0) return uevent.substr(pos + prefix.size(), end - pos - prefix.size());
    pos = end + 1;
  }
  return {};
}

std::string Parent(const std::string& dir) {
  const std::size_t slash = dir.rfind('/');
  return slash == std::string::npos ? std::string() : dir.substr(0, slash);
}

// sysfs gives the kernel's UTF-8 conversion of USB strings; other sources
// (HID_NAME of a virtual device) may hold any bytes.
std::u16string Utf16(const std::string& text) {
  return QString::fromStdString(quorvel::io::Utf8OrLatin1(text)).toStdU16String();
}

class LinuxConnection : public HidConnection {
 public:
  // Without a node it answers from the facts; `readWrite` is then what an
  // open would get.
  LinuxConnection(LinuxSys& sys, std::shared_ptr<SharedNode> node, bool readWrite, const InterfaceFacts& facts,
                  std::optional<ReportDescriptorSummary> summary)
      : sys_(sys),
        node_(std::move(node)),
        fd_(node_ ? node_->Fd() : -1),
        readWrite_(readWrite),
        facts_(facts),
        summary_(summary) {}
  bool ReadWriteAccess() const override { return readWrite_; }

  bool GetAttributes(THidAttributes& attributes) override {
    bool ok = false;
    if (fd_ >= 0) {
      hidraw_devinfo info{};
      if (sys_.Ioctl(fd_, HIDIOCGRAWINFO, &info) == 0) {
        attributes.VendorID = static_cast<std::uint16_t>(info.vendor);
        attributes.ProductID = static_cast<std::uint16_t>(info.product);
        ok = true;
      }
    }
    if (!ok) ok = ParseHidId(facts_.hidId, attributes.VendorID, attributes.ProductID);
    attributes.VersionNumber = 0;
    if (!facts_.usbBcdDevice.empty()) {
      attributes.VersionNumber = static_cast<std::uint16_t>(std::strtoul(facts_.usbBcdDevice.c_str(), nullptr, 16));
    }
    return ok;
  }

  bool GetProductString(std::u16string& text) override {
    const std::string& s = facts_.hasUsbParent && !facts_.usbProduct.empty() ? facts_.usbProduct : facts_.hidName;
    if (s.empty()) return false;
    text = Utf16(s);
    return true;
  }

  bool GetSerialString(std::u16string& text) override {
    text = Utf16(facts_.hasUsbParent && !facts_.usbSerial.empty() ? facts_.usbSerial : facts_.hidUniq);
    return true;
  }

  bool GetCaps(THidCaps& caps) override {
    if (!summary_) return false;
    caps.InputReportByteLength = summary_->InputReportByteLength();
    caps.OutputReportByteLength = summary_->OutputReportByteLength();
    return true;
  }

  bool Write(const std::uint8_t* data, std::size_t size, std::size_t& written, std::uint32_t& error) override {
    written = 0;
    if (fd_ < 0 || !readWrite_) {
      error = EACCES;
      return false;
    }
    const ssize_t n = sys_.Write(fd_, data, size);
    if (n < 0) {
      error = static_cast<std::uint32_t>(errno);
      return false;
    }
    written = static_cast<std::size_t>(n);
    if (written != size) {
      error = EIO;
      return false;
    }
    return true;
  }

 private:
  LinuxSys& sys_;
  std::shared_ptr<SharedNode> node_;
  int fd_;
  bool readWrite_;
  InterfaceFacts facts_;
  std::optional<ReportDescriptorSummary> summary_;
};

std::optional<ReportDescriptorSummary> Descriptor(LinuxSys& sys, int fd, const InterfaceFacts& facts) {
  if (!facts.descriptor.empty()) return ParseReportDescriptor(facts.descriptor.data(), facts.descriptor.size());
  if (fd < 0) return std::nullopt;
  int size = 0;
  if (sys.Ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) return std::nullopt;
  hidraw_report_descriptor desc{};
  desc.size = static_cast<std::uint32_t>(size);
  if (sys.Ioctl(fd, HIDIOCGRDESC, &desc) != 0) return std::nullopt;
  return ParseReportDescriptor(desc.value, std::min<std::size_t>(desc.size, sizeof desc.value));
}

}  // namespace

std::uint64_t IdentityOf(const std::string& syspath) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : syspath) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool ParseHidId(const std::string& hidId, std::uint16_t& vendor, std::uint16_t& product) {
  // "bus:vendor:product", each field hex; an oversized field is refused, not wrapped.
  std::uint32_t fields[3] = {};
  const char* p = hidId.data();
  const char* end = p + hidId.size();
  for (int i = 0; i < 3; ++i) {
    auto [next, ec] = std::from_chars(p, end, fields[i], 16);
    if (ec != std::errc{} || next == p) return false;
    p = next;
    if (i < 2) {
      if (p == end || *p != ':') return false;
      ++p;
    }
  }
  if (p != end || fields[1] > 0xFFFF || fields[2] > 0xFFFF) return false;
  vendor = static_cast<std::uint16_t>(fields[1]);
  product = static_cast<std::uint16_t>(fields[2]);
  return true;
}

bool SharedNode::TryLock(std::uint32_t& error) {
  std::lock_guard lock(m_);
  if (locked_) {
    error = EWOULDBLOCK;
    return false;
  }
  if (sys_.Flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error = static_cast<std::uint32_t>(errno);
    return false;
  }
  locked_ = true;
  error = 0;
  return true;
}

void SharedNode::Unlock() {
  std::lock_guard lock(m_);
  // Explicitly: the description stays open while the reader or writer holds it.
  if (locked_) sys_.Flock(fd_, LOCK_UN);
  locked_ = false;
}

bool SharedNode::AttachReader(std::chrono::milliseconds wait) {
  std::unique_lock lock(m_);
  if (!readerGone_.wait_for(lock, wait, [&] { return !reader_; })) return false;
  reader_ = true;
  return true;
}

void SharedNode::DetachReader() {
  {
    std::lock_guard lock(m_);
    reader_ = false;
  }
  readerGone_.notify_all();
}

std::shared_ptr<SharedNode> NodeTable::OpenPrivate(LinuxSys& sys, const std::string& devnode, std::uint32_t& error) {
  bool readWrite = true;
  int fd = sys.Open(devnode.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) {
    readWrite = false;  // still good for the lock and for reading
    fd = sys.Open(devnode.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    error = static_cast<std::uint32_t>(errno);
    return nullptr;
  }
  error = 0;
  return std::make_shared<SharedNode>(sys, fd, readWrite);
}

std::shared_ptr<SharedNode> NodeTable::Acquire(LinuxSys& sys, std::uint64_t identity, const std::string& devnode,
                                               std::uint32_t& error, bool* fresh) {
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard lock(m_);
    // A slot only this table holds has nobody inside Acquire: its node may be looked at.
    std::erase_if(slots_, [](const auto& entry) { return entry.second.use_count() == 1 && entry.second->node.expired(); });
    auto& entry = slots_[{identity, devnode}];
    if (!entry) entry = std::make_shared<Slot>();
    slot = entry;
  }
  std::lock_guard open(slot->openM);
  if (auto node = slot->node.lock()) {
    if (fresh != nullptr) *fresh = false;
    error = 0;
    return node;
  }
  auto node = OpenPrivate(sys, devnode, error);
  slot->node = node;
  if (fresh != nullptr) *fresh = true;
  return node;
}

std::unique_ptr<HidConnection> OpenConnection(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts) {
  std::uint32_t error = 0;
  auto node = nodes.Acquire(sys, IdentityOf(facts.syspath), facts.devnode, error);
  if (!node && error != EACCES && error != EPERM) {
    errno = static_cast<int>(error);
    return nullptr;
  }
  // Without read/write access it is listed for query only: identity and strings come from sysfs.
  const bool readWrite = node && node->ReadWrite();
  auto summary = Descriptor(sys, node ? node->Fd() : -1, facts);
  return std::make_unique<LinuxConnection>(sys, std::move(node), readWrite, facts, summary);
}

std::unique_ptr<HidConnection> InspectConnection(LinuxSys& sys, const InterfaceFacts& facts) {
  bool readWrite = sys.Access(facts.devnode.c_str(), R_OK | W_OK) == 0;
  if (!readWrite && errno != EACCES && errno != EPERM && errno != EROFS) return nullptr;  // gone
  return std::make_unique<LinuxConnection>(sys, nullptr, readWrite, facts, Descriptor(sys, -1, facts));
}

bool ReadFacts(LinuxSys& sys, const THidPnPInfo& info, InterfaceFacts& facts) {
  const std::string& path = info.InterfacePath;
  const std::size_t slash = path.rfind('/');
  const std::string sysname = slash == std::string::npos ? path : path.substr(slash + 1);
  if (sysname.empty() || sysname == "." || sysname == "..") return false;
  std::string syspath, hidDir, uevent;
  if (!sys.RealPath("/sys/class/hidraw/" + sysname, syspath)) return false;
  // The node now belongs to another device than the one scanned: treat it as gone.
  if (IdentityOf(syspath) != info.DeviceInstance) return false;
  if (!sys.RealPath(syspath + "/device", hidDir) || !sys.ReadFile(hidDir + "/uevent", uevent)) return false;
  facts = InterfaceFacts{};
  facts.devnode = path;
  facts.syspath = syspath;
  facts.hidId = UeventValue(uevent, "HID_ID");
  facts.hidName = UeventValue(uevent, "HID_NAME");
  facts.hidUniq = UeventValue(uevent, "HID_UNIQ");
  // The USB device (not its interface) carries the strings; a uhid device has none.
  for (std::string dir = Parent(hidDir); dir.size() > std::strlen(kSysDevices) && dir.rfind(kSysDevices, 0) == 0;
       dir = Parent(dir)) {
    std::string parentUevent;
    if (!sys.ReadFile(dir + "/uevent", parentUevent) || UeventValue(parentUevent, "DEVTYPE") != "usb_device") continue;
    facts.hasUsbParent = true;
    facts.usbProduct = Attr(sys, dir, "product");
    facts.usbSerial = Attr(sys, dir, "serial");
    facts.usbBcdDevice = Attr(sys, dir, "bcdDevice");
    break;
  }
  std::string descriptor;
  if (sys.ReadFile(hidDir + "/report_descriptor", descriptor)) facts.descriptor.assign(descriptor.begin(), descriptor.end());
  return true;
}

bool FlockHeldElsewhere(const std::string& locks, unsigned major, unsigned minor, std::uint64_t inode, long self) {
  // "1: FLOCK  ADVISORY  WRITE 1234 00:05:321 0 EOF"; a waiter has "->" after the number.
  std::size_t pos = 0;
  while (pos < locks.size()) {
    std::size_t end = locks.find('\n', pos);
    if (end == std::string::npos) end = locks.size();
    std::vector<std::string> tokens;
    for (std::size_t i = pos; i < end;) {
      while (i < end && (locks[i] == ' ' || locks[i] == '\t')) ++i;
      std::size_t j = i;
      while (j < end && locks[j] != ' ' && locks[j] != '\t') ++j;
      if (j > i) tokens.emplace_back(locks, i, j - i);
      i = j;
    }
    pos = end + 1;
    if (tokens.size() < 6 || tokens[1] != "FLOCK") continue;
    long pid = 0;
    unsigned maj = 0, min = 0;
    std::uint64_t ino = 0;
    const std::string& pidText = tokens[4];
    const std::string& file = tokens[5];
    auto pidEnd = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (pidEnd.ec != std::errc{} || pidEnd.ptr != pidText.data() + pidText.size()) continue;
    const char* p = file.data();
    const char* fileEnd = p + file.size();
    auto a = std::from_chars(p, fileEnd, maj, 16);
    if (a.ec != std::errc{} || a.ptr == fileEnd || *a.ptr != ':') continue;
    auto b = std::from_chars(a.ptr + 1, fileEnd, min, 16);
    if (b.ec != std::errc{} || b.ptr == fileEnd || *b.ptr != ':') continue;
    auto c = std::from_chars(b.ptr + 1, fileEnd, ino, 10);
    if (c.ec != std::errc{} || c.ptr != fileEnd) continue;
    if (maj == major && min == minor && ino == inode && pid != self) return true;
  }
  return false;
}

namespace {
// Reports the description queued while it had no reader: none of them can be
// an answer to what this reader's device object is about to send. Bounded by
// what hidraw keeps queued per description.
void DropQueuedReports(LinuxSys& sys, int fd) {
  constexpr int kMostQueued = 64;
  std::uint8_t report[HID_MAX_DESCRIPTOR_SIZE];  // larger than any report; a shorter buffer drops the report all the same
  for (int i = 0; i < kMostQueued; ++i) {
    pollfd input{fd, POLLIN, 0};
    if (sys.Poll(&input, 1, 0) <= 0 || (input.revents & POLLIN) == 0) return;
    if (sys.Read(fd, report, sizeof report) <= 0) return;
  }
}
}  // namespace

std::shared_ptr<HidReadChannel> OpenReadChannel(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts,
                                                std::uint32_t& error) {
  bool fresh = true;
  auto node = nodes.Acquire(sys, IdentityOf(facts.syspath), facts.devnode, error, &fresh);
  if (!node) return nullptr;
  // The reader of the board's previous device object lets go as soon as its
  // Read returns, which its closing makes prompt. One that stays (a device
  // object still alive) keeps the description: this reader opens its own, so
  // neither takes the other's reports.
  constexpr std::chrono::milliseconds kReaderHandover(250);
  if (!node->AttachReader(kReaderHandover)) {
    node = NodeTable::OpenPrivate(sys, facts.devnode, error);
    if (!node) return nullptr;
    node->AttachReader(std::chrono::milliseconds(0));
    fresh = true;
  }
  const int wake = sys.EventFd();
  if (wake < 0) {
    error = static_cast<std::uint32_t>(errno);
    node->DetachReader();
    return nullptr;
  }
  if (!fresh) DropQueuedReports(sys, node->Fd());
  auto summary = Descriptor(sys, node->Fd(), facts);
  const bool numbered = summary && summary->numbered;
  return std::make_shared<LinuxReadChannel>(sys, std::move(node), wake, numbered);
}

namespace {
class NodeLock : public HidLock {
 public:
  explicit NodeLock(std::shared_ptr<SharedNode> node) : node_(std::move(node)) {}
  ~NodeLock() override { node_->Unlock(); }
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;

 private:
  std::shared_ptr<SharedNode> node_;
};
}  // namespace

std::unique_ptr<HidLock> LockNode(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts, std::uint32_t& error) {
  auto node = nodes.Acquire(sys, IdentityOf(facts.syspath), facts.devnode, error);
  if (!node || !node->TryLock(error)) return nullptr;
  return std::make_unique<NodeLock>(std::move(node));
}

LinuxReadChannel::LinuxReadChannel(LinuxSys& sys, int fd, int wakeFd, bool numbered)
    : LinuxReadChannel(sys, std::make_shared<SharedNode>(sys, fd, false), wakeFd, numbered) {}

LinuxReadChannel::LinuxReadChannel(LinuxSys& sys, std::shared_ptr<SharedNode> node, int wakeFd, bool numbered)
    : sys_(sys), node_(std::move(node)), fd_(node_->Fd()), wakeFd_(wakeFd), numbered_(numbered) {}

LinuxReadChannel::~LinuxReadChannel() {
  std::lock_guard lock(m_);
  closed_ = true;
  ReleaseLocked();
}

void LinuxReadChannel::ReleaseLocked() {
  if (node_) node_->DetachReader();
  node_.reset();  // the node closes here when the lock and the writer are done with it
  if (wakeFd_ >= 0) sys_.Close(wakeFd_);
  fd_ = wakeFd_ = -1;
}

void LinuxReadChannel::WakeLocked() {
  const std::uint64_t one = 1;
  if (sys_.Write(wakeFd_, &one, sizeof one) < 0) {
    // The wake descriptor is non-blocking and cannot be full here; the Read
    // still ends at its time-out.
  }
}

void LinuxReadChannel::Close() {
  std::lock_guard lock(m_);
  if (closed_) return;
  closed_ = true;
  if (inUse_ > 0) {
    // A Read is polling these descriptors: wake it; it releases them on its way out.
    WakeLocked();
    return;
  }
  ReleaseLocked();
}

void LinuxReadChannel::Interrupt() {
  std::lock_guard lock(m_);
  if (!closed_) WakeLocked();
}

HidReadChannel::Result LinuxReadChannel::Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
  int fd = -1, wake = -1;
  {
    std::lock_guard lock(m_);
    if (closed_) return {Status::kClosed, 0, 0};
    ++inUse_;
    fd = fd_;
    wake = wakeFd_;
  }
  Result result;
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  const int r = sys_.Poll(fds, 2, std::max(timeoutMs, 0));
  if (r < 0) {
    result = {Status::kError, 0, static_cast<std::uint32_t>(errno)};
  } else if (r == 0) {
    result = {Status::kTimeout, 0, 0};
  } else if ((fds[1].revents & POLLIN) != 0) {
    // Interrupted (or closed, which is told apart below): consume the wake-up.
    std::uint64_t count = 0;
    if (sys_.Read(wake, &count, sizeof count) < 0) {
      // Non-blocking: nothing left to consume.
    }
    result = {Status::kTimeout, 0, 0};
  } else if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    result = {Status::kError, 0, kErrNoDevice};  // the device is gone
  } else if ((fds[0].revents & POLLIN) != 0 && capacity > 0) {
    // An unnumbered device's reports come without their ID: put the 0 in front.
    const std::size_t offset = numbered_ ? 0 : 1;
    if (capacity <= offset) {
      result = {Status::kError, 0, EINVAL};
    } else {
      const ssize_t n = sys_.Read(fd, buffer + offset, capacity - offset);
      if (n < 0) {
        result = errno == EAGAIN ? Result{Status::kTimeout, 0, 0}
                                 : Result{Status::kError, 0, static_cast<std::uint32_t>(errno)};
      } else if (n == 0) {
        result = {Status::kError, 0, kErrNoDevice};
      } else {
        if (offset == 1) buffer[0] = 0;
        result = {Status::kData, static_cast<std::size_t>(n) + offset, 0};
      }
    }
  }
  std::lock_guard lock(m_);
  --inUse_;
  if (closed_) {
    if (inUse_ == 0) ReleaseLocked();
    if (result.status != Status::kData) result = {Status::kClosed, 0, 0};
  }
  return result;
}

LinuxHidPlatform::LinuxHidPlatform(LinuxSys& sys) : sys_(sys) {
  udev_ = udev_new();
  if (udev_ == nullptr) return;
  // The monitor starts before the first scan so no change falls between them.
  // Without a udev daemon (a bare VM) only the kernel's own events exist.
  const char* sources[] = {"udev", "kernel"};
  for (const char* source : sources) {
    if (std::strcmp(source, "udev") == 0 && !sys_.UdevDaemonRunning()) continue;
    udev_monitor* mon = udev_monitor_new_from_netlink(udev_, source);
    if (mon == nullptr) continue;
    if (udev_monitor_filter_add_match_subsystem_devtype(mon, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(mon) < 0) {
      udev_monitor_unref(mon);
      continue;
    }
    monitor_ = mon;
    monitorSource_ = source;
    break;
  }
  if (monitor_ == nullptr) return;
  const int fd = udev_monitor_get_fd(monitor_);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
  coalesce_ = new QTimer();
  coalesce_->setSingleShot(true);
  coalesce_->setInterval(kCoalesceMs);
  QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { OnMonitorReadable(); });
  QObject::connect(coalesce_, &QTimer::timeout, coalesce_, [this] {
    if (handler_) handler_();
  });
}

LinuxHidPlatform::~LinuxHidPlatform() {
  WaitForReaders();  // a lock being taken reads this platform's facts
  delete notifier_;
  delete coalesce_;
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

void LinuxHidPlatform::OnMonitorReadable() {
  {
    std::lock_guard lock(udevMutex_);
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) udev_device_unref(dev);
  }
  // A plug brings a burst of events; one rescan after it settles is enough.
  if (!coalesce_->isActive()) coalesce_->start();
}

void LinuxHidPlatform::SetChangeHandler(std::function<void()> handler) {
  handler_ = std::move(handler);
  if (!handler_ && coalesce_ != nullptr) coalesce_->stop();
}

std::vector<THidPnPInfo> LinuxHidPlatform::Scan() {
  std::vector<THidPnPInfo> out;
  if (udev_ == nullptr) return out;
  std::lock_guard lock(udevMutex_);
  udev_enumerate* en = udev_enumerate_new(udev_);
  if (en == nullptr) return out;
  udev_enumerate_add_match_subsystem(en, "hidraw");
  if (udev_enumerate_scan_devices(en) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
      const char* syspath = udev_list_entry_get_name(entry);
      udev_device* dev = udev_device_new_from_syspath(udev_, syspath);
      if (dev == nullptr) continue;
      const char* node = udev_device_get_devnode(dev);
      // While udevd runs, a node it has not processed yet may still lack the
      // access its rules give; its "add" event brings it in a moment.
      const bool ready = monitorSource_ != "udev" || udev_device_get_is_initialized(dev) > 0;
      if (node != nullptr && ready) out.push_back({IdentityOf(syspath), node});
      udev_device_unref(dev);
    }
  }
  udev_enumerate_unref(en);
  std::lock_guard factsLock(factsMutex_);
  std::erase_if(facts_, [&](const auto& entry) {
    return std::none_of(out.begin(), out.end(), [&](const THidPnPInfo& i) { return i.DeviceInstance == entry.first; });
  });
  return out;
}

std::vector<THidPnPInfo> LinuxHidPlatform::ScanPath(const std::string& interfacePath) {
  std::vector<THidPnPInfo> out;
  if (udev_ == nullptr) return out;
  const std::size_t slash = interfacePath.rfind('/');
  const std::string sysname = slash == std::string::npos ? interfacePath : interfacePath.substr(slash + 1);
  std::lock_guard lock(udevMutex_);
  udev_device* dev = udev_device_new_from_subsystem_sysname(udev_, "hidraw", sysname.c_str());
  if (dev == nullptr) return out;
  const char* syspath = udev_device_get_syspath(dev);
  const char* node = udev_device_get_devnode(dev);
  // As Scan(): a node udevd has not processed yet is not there yet.
  const bool ready = monitorSource_ != "udev" || udev_device_get_is_initialized(dev) > 0;
  if (syspath != nullptr && node != nullptr && interfacePath == node && ready)
    out.push_back({IdentityOf(syspath), node});
  udev_device_unref(dev);
  return out;
}

bool LinuxHidPlatform::Facts(const THidPnPInfo& info, InterfaceFacts& facts) {
  {
    std::lock_guard lock(factsMutex_);
    const auto it = facts_.find(info.DeviceInstance);
    if (it != facts_.end() && it->second.devnode == info.InterfacePath) {
      // Still that device's node? A readlink, not the whole reading.
      std::string syspath;
      if (!sys_.RealPath(it->second.syspath, syspath) || IdentityOf(syspath) != info.DeviceInstance) return false;
      facts = it->second;
      return true;
    }
  }
  if (!ReadFacts(sys_, info, facts)) return false;
  // Kept only when read whole: a descriptor not readable yet is tried again.
  if (!facts.descriptor.empty()) {
    std::lock_guard lock(factsMutex_);
    facts_[info.DeviceInstance] = facts;
  }
  return true;
}

std::unique_ptr<HidConnection> LinuxHidPlatform::Open(const THidPnPInfo& info) {
  InterfaceFacts facts;
  if (!Facts(info, facts)) return nullptr;
  return OpenConnection(sys_, nodes_, facts);
}

std::unique_ptr<HidConnection> LinuxHidPlatform::Inspect(const THidPnPInfo& info) {
  InterfaceFacts facts;
  if (!Facts(info, facts)) return nullptr;
  return InspectConnection(sys_, facts);
}

bool LinuxHidPlatform::LockedElsewhere(const THidPnPInfo& info) {
  InterfaceFacts facts;
  if (!Facts(info, facts)) return false;
  struct stat st{};
  std::string locks;
  if (sys_.Stat(facts.devnode.c_str(), st) != 0 || !sys_.ReadFile("/proc/locks", locks)) {
    return HidPlatform::LockedElsewhere(info);  // no /proc: try the lock itself
  }
  return FlockHeldElsewhere(locks, major(st.st_dev), minor(st.st_dev), st.st_ino, static_cast<long>(::getpid()));
}

std::shared_ptr<HidReadChannel> LinuxHidPlatform::OpenReader(const THidPnPInfo& info, std::uint32_t& error) {
  InterfaceFacts facts;
  if (!Facts(info, facts)) {
    error = kErrNoDevice;
    return nullptr;
  }
  return OpenReadChannel(sys_, nodes_, facts, error);
}

std::unique_ptr<HidLock> LinuxHidPlatform::Lock(const THidPnPInfo& info, std::uint32_t& error) {
  InterfaceFacts facts;
  if (!Facts(info, facts)) {
    error = kErrNoDevice;
    return nullptr;
  }
  return LockNode(sys_, nodes_, facts, error);
}

std::unique_ptr<HidPlatform> MakeLinuxHidPlatform() { return std::make_unique<LinuxHidPlatform>(); }

}  // namespace quorvel::hid::linux_hid
