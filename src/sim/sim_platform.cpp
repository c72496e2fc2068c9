// SPDX-License-Identifier: Apache-2.0
#include "sim/sim_platform.h"

#include <QMetaObject>
#include <QString>
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "hid/wakeup_receiver.h"
#include "sim/virtual_clock.h"

namespace quorvel::sim {

namespace {
constexpr std::uint32_t kErrNoDevice = 19;  // ENODEV
constexpr std::uint32_t kErrAccess = 13;    // EACCES
constexpr std::uint32_t kErrWouldBlock = 11;  // EWOULDBLOCK
constexpr std::uint32_t kErrTimedOut = 110;   // ETIMEDOUT
// How long the kernel gives an output report that a USB device never takes.
constexpr int kUsbWriteTimeoutMs = 5000;

std::u16string ToU16(const std::string& text) { return QString::fromStdString(text).toStdU16String(); }
}  // namespace

// Connections and readers may outlive the platform (a writer left to finish
// a stalled write alone): they tell it of their end through this link, which
// the platform cuts when it goes.
struct SimPlatformLink {
  std::mutex m;
  SimHidPlatform* platform = nullptr;
  void Released(int id) {
    std::lock_guard lock(m);
    if (platform != nullptr) platform->HandleClosed(id);
  }
};

// The reader's handle onto a simulated interface: a queue of input reports.
class SimReadChannel : public hid::HidReadChannel {
 public:
  // `settled` is told when a report handed out has reached its reader's
  // handler (the reader is back for the next one).
  // `released` is told when the uploader closes the channel.
  SimReadChannel(std::function<void()> settled, std::function<void()> released)
      : settled_(std::move(settled)), released_(std::move(released)) {}

  Result Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override {
    std::unique_lock lock(m_);
    if (holding_) {
      holding_ = false;
      lock.unlock();
      if (settled_) settled_();
      lock.lock();
    }
    cv_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                 [&] { return closed_ || gone_ || interrupted_ || !queue_.empty(); });
    if (closed_) return {Status::kClosed, 0, 0};
    if (interrupted_) {
      interrupted_ = false;
      return {Status::kTimeout, 0, 0};
    }
    if (!queue_.empty()) {
      std::vector<std::uint8_t> report = std::move(queue_.front());
      queue_.pop_front();
      const std::size_t n = std::min(capacity, report.size());
      std::copy_n(report.begin(), n, buffer);
      holding_ = true;
      return {Status::kData, n, 0};
    }
    if (gone_) return {Status::kError, 0, kErrNoDevice};
    return {Status::kTimeout, 0, 0};
  }
  void Close() override {
    bool first = false;
    {
      std::lock_guard lock(m_);
      first = !closed_;
      closed_ = true;
      holding_ = false;
      queue_.clear();
    }
    cv_.notify_all();
    if (first && released_) released_();
  }
  // Nothing waits in the queue or in the reader's hands.
  bool Settled() {
    std::lock_guard lock(m_);
    return closed_ || (queue_.empty() && !holding_);
  }
  void Interrupt() override {
    {
      std::lock_guard lock(m_);
      interrupted_ = true;
    }
    cv_.notify_all();
  }
  void Push(std::vector<std::uint8_t> report) {
    {
      std::lock_guard lock(m_);
      if (closed_ || gone_) return;
      queue_.push_back(std::move(report));
    }
    cv_.notify_all();
  }
  void MarkGone() {
    {
      std::lock_guard lock(m_);
      gone_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::vector<std::uint8_t>> queue_;
  bool closed_ = false;
  bool gone_ = false;
  bool holding_ = false;  // a report returned by Read is still on its way to the handler
  std::function<void()> settled_;
  std::function<void()> released_;
  bool interrupted_ = false;
};

struct SimInterface {
  int id = 0;
  std::uint64_t instance = 0;
  std::string path;
  GenericHidDescription profileText;
  std::unique_ptr<BootloaderModel> model;  // bootloaders only
  std::uint32_t paceMs = 0;
  std::int64_t busyUntil = 0;  // simulated time when the firmware has answered everything so far
  std::chrono::steady_clock::time_point answeredUntil{};  // the same on the machine's clock
  // USB frame schedule of the paced endpoints: each direction carries at most
  // one report per interval, on a fixed grid, so a late wake-up of ours does
  // not stretch the next transfer (as on a real bus).
  std::chrono::steady_clock::time_point lastOut{};
  std::chrono::steady_clock::time_point lastIn{};
  bool plugged = true;
  int failStrings = 0;
  int locks = 0;  // holders of the interface's lock, this program's and others'
  int stallWrites = 0;
  int stallMs = 0;
  std::uint32_t stallError = 0;
  std::size_t outputCount = 0;
  std::size_t openCount = 0;
  std::size_t stringReads = 0;
  int handles = 0;  // the uploader's open connections and readers
  std::vector<std::weak_ptr<SimReadChannel>> readers;

  void ForEachReader(const std::function<void(SimReadChannel&)>& fn) {
    readers.erase(std::remove_if(readers.begin(), readers.end(), [](const auto& w) { return w.expired(); }),
                  readers.end());
    for (auto& w : readers) {
      if (auto r = w.lock()) fn(*r);
    }
  }
};

namespace {
class SimConnection : public hid::HidConnection {
 public:
  SimConnection(SimHidPlatform& platform, std::shared_ptr<SimPlatformLink> link, int id, bool readWrite,
                hid::THidAttributes attributes, hid::THidCaps caps)
      : platform_(platform),
        link_(std::move(link)),
        id_(id),
        readWrite_(readWrite),
        attributes_(attributes),
        caps_(caps) {}
  // Without a link it only inspects: no handle is open, nothing can be written.
  ~SimConnection() override {
    if (link_) link_->Released(id_);
  }
  SimConnection(const SimConnection&) = delete;
  SimConnection& operator=(const SimConnection&) = delete;
  bool ReadWriteAccess() const override { return readWrite_; }
  bool GetAttributes(hid::THidAttributes& attributes) override {
    attributes = attributes_;
    return true;
  }
  bool GetProductString(std::u16string& text) override { return platform_.ReadString(id_, false, text); }
  bool GetSerialString(std::u16string& text) override { return platform_.ReadString(id_, true, text); }
  bool GetCaps(hid::THidCaps& caps) override {
    caps = caps_;
    return true;
  }
  bool Write(const std::uint8_t* data, std::size_t size, std::size_t& written, std::uint32_t& error) override {
    written = 0;
    if (!readWrite_ || !link_) {
      error = kErrAccess;
      return false;
    }
    if (!platform_.WriteOutput(id_, data, size, error)) return false;
    written = size;
    return true;
  }

 private:
  SimHidPlatform& platform_;
  std::shared_ptr<SimPlatformLink> link_;
  int id_;
  bool readWrite_;
  hid::THidAttributes attributes_;
  hid::THidCaps caps_;
};
}  // namespace

namespace {
// When a transfer asked for at `now` has gone out: at the end of the first
// frame that starts after both `now` and the endpoint's previous transfer.
std::chrono::steady_clock::time_point NextFrameEnd(std::chrono::steady_clock::time_point now,
                                                   std::chrono::steady_clock::time_point& last,
                                                   std::uint32_t paceMs) {
  using namespace std::chrono;
  const auto interval = duration_cast<steady_clock::duration>(milliseconds(paceMs));
  const auto sinceEpoch = now.time_since_epoch();
  auto end = steady_clock::time_point((sinceEpoch / interval + 1) * interval);
  if (end <= last) end = last + interval;
  last = end;
  return end;
}
}  // namespace

SimHidPlatform::SimHidPlatform() : link_(std::make_shared<SimPlatformLink>()) {
  link_->platform = this;
  device_ = std::thread(&SimHidPlatform::DeviceThread, this);
}

SimHidPlatform::~SimHidPlatform() {
  WaitForReaders();
  {
    std::lock_guard lock(link_->m);
    link_->platform = nullptr;
  }
  QObject* context = nullptr;
  QObject* violations = nullptr;
  QObject* atEvent = nullptr;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [id, iface] : interfaces_) iface->ForEachReader([](SimReadChannel& r) { r.MarkGone(); });
    context = changeContext_;
    changeContext_ = nullptr;
    changeHandler_ = nullptr;
    violations = violationContext_;
    violationContext_ = nullptr;
    violationHandler_ = nullptr;
    atEvent = atEventContext_;
    atEventContext_ = nullptr;
  }
  wake_.notify_all();
  device_.join();
  delete context;
  delete violations;
  delete atEvent;
}

int SimHidPlatform::Add(std::shared_ptr<SimInterface> iface) {
  {
    std::lock_guard lock(mutex_);
    iface->id = nextId_++;
    iface->instance = nextInstance_++;
    iface->path = "sim:" + std::to_string(iface->id);
    interfaces_[iface->id] = iface;
  }
  PostChange();
  return iface->id;
}

int SimHidPlatform::PlugBootloader(const SimProfile& profile) {
  auto iface = std::make_shared<SimInterface>();
  iface->profileText.product = ToU16(profile.product);
  iface->profileText.serial = ToU16(profile.serial);
  iface->profileText.vendorId = profile.vendorId;
  iface->profileText.productId = profile.productId;
  iface->profileText.inputLength = 65;
  iface->profileText.outputLength = 65;
  iface->paceMs = profile.paceMs;
  iface->model = std::make_unique<BootloaderModel>(profile);
  return Add(std::move(iface));
}

int SimHidPlatform::PlugGeneric(const GenericHidDescription& profileText) {
  auto iface = std::make_shared<SimInterface>();
  iface->profileText = profileText;
  return Add(std::move(iface));
}

void SimHidPlatform::Vanish(int id, bool notify) {
  {
    std::lock_guard lock(mutex_);
    auto it = interfaces_.find(id);
    if (it == interfaces_.end() || !it->second->plugged) return;
    it->second->plugged = false;
    it->second->ForEachReader([](SimReadChannel& r) { r.MarkGone(); });
    it->second->readers.clear();
  }
  if (notify) PostChange();
}

void SimHidPlatform::Unplug(int id, bool notify) { Vanish(id, notify); }

void SimHidPlatform::SetQueryOnly(int id, bool queryOnly) {
  std::lock_guard lock(mutex_);
  if (auto it = interfaces_.find(id); it != interfaces_.end()) it->second->profileText.queryOnly = queryOnly;
}

void SimHidPlatform::FailStringReads(int id, int count) {
  std::lock_guard lock(mutex_);
  if (auto it = interfaces_.find(id); it != interfaces_.end()) it->second->failStrings = count;
}

void SimHidPlatform::StallWrites(int id, int count, int ms, std::uint32_t error) {
  std::lock_guard lock(mutex_);
  if (auto it = interfaces_.find(id); it != interfaces_.end()) {
    it->second->stallWrites = count;
    it->second->stallMs = ms;
    it->second->stallError = error;
  }
}

void SimHidPlatform::SetLockedElsewhere(int id, bool locked) {
  std::lock_guard lock(mutex_);
  if (auto it = interfaces_.find(id); it != interfaces_.end()) it->second->locks += locked ? 1 : -1;
}

void SimHidPlatform::InjectInputReport(int id, const std::vector<std::uint8_t>& report) {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  if (it == interfaces_.end() || !it->second->plugged) return;
  it->second->ForEachReader([&](SimReadChannel& r) { r.Push(report); });
}

void SimHidPlatform::NotifyChange() { PostChange(); }

bool SimHidPlatform::IsPlugged(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it != interfaces_.end() && it->second->plugged;
}

BootloaderModel* SimHidPlatform::Model(int id) {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() ? nullptr : it->second->model.get();
}

bool SimHidPlatform::WaitIdle(int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                        [&] { return stopping_ || (jobs_.empty() && !processing_); });
}

bool SimHidPlatform::WaitReadersClosed(int timeoutMs) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      const bool open = std::any_of(interfaces_.begin(), interfaces_.end(), [](const auto& entry) {
        const auto& readers = entry.second->readers;
        return std::any_of(readers.begin(), readers.end(), [](const auto& r) { return !r.expired(); });
      });
      if (!open) return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string SimHidPlatform::TraceText(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() || !it->second->model ? std::string{} : it->second->model->TraceText();
}

std::vector<std::string> SimHidPlatform::TraceLines(int id, std::size_t first) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  if (it == interfaces_.end() || !it->second->model) return {};
  const std::vector<std::string>& trace = it->second->model->Trace();
  if (first >= trace.size()) return {};
  return {trace.begin() + static_cast<std::ptrdiff_t>(first), trace.end()};
}

std::vector<std::string> SimHidPlatform::Violations(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() || !it->second->model ? std::vector<std::string>{} : it->second->model->Violations();
}

void SimHidPlatform::Forget(int id) {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  if (it != interfaces_.end() && !it->second->plugged) interfaces_.erase(it);
}

std::size_t SimHidPlatform::OutputReportCount(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() ? 0 : it->second->outputCount;
}

std::size_t SimHidPlatform::OpenCount(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() ? 0 : it->second->openCount;
}

std::size_t SimHidPlatform::ReaderCount(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  if (it == interfaces_.end()) return 0;
  return static_cast<std::size_t>(std::count_if(it->second->readers.begin(), it->second->readers.end(),
                                                [](const auto& w) { return !w.expired(); }));
}

std::size_t SimHidPlatform::StringReadCount(int id) const {
  std::lock_guard lock(mutex_);
  auto it = interfaces_.find(id);
  return it == interfaces_.end() ? 0 : it->second->stringReads;
}

std::shared_ptr<SimInterface> SimHidPlatform::Find(int id) const {
  auto it = interfaces_.find(id);
  return it == interfaces_.end() ? nullptr : it->second;
}

std::shared_ptr<SimInterface> SimHidPlatform::FindByPath(const std::string& path) const {
  for (const auto& [id, iface] : interfaces_) {
    if (iface->path == path) return iface;
  }
  return nullptr;
}

std::vector<hid::THidPnPInfo> SimHidPlatform::Scan() {
  std::lock_guard lock(mutex_);
  std::vector<hid::THidPnPInfo> out;
  for (const auto& [id, iface] : interfaces_) {
    if (iface->plugged) out.push_back({iface->instance, iface->path});
  }
  return out;
}

namespace {

// A connection to a plugged interface; `link` is empty for one that only
// answers what the system knows of the interface.
std::unique_ptr<hid::HidConnection> Connect(SimHidPlatform& platform, std::shared_ptr<SimPlatformLink> link,
                                            const SimInterface& iface) {
  hid::THidAttributes attributes;
  attributes.VendorID = iface.profileText.vendorId;
  attributes.ProductID = iface.profileText.productId;
  attributes.VersionNumber = iface.profileText.version;
  const hid::THidCaps caps{iface.profileText.inputLength, iface.profileText.outputLength};
  return std::make_unique<SimConnection>(platform, std::move(link), iface.id, !iface.profileText.queryOnly, attributes, caps);
}

}  // namespace

std::unique_ptr<hid::HidConnection> SimHidPlatform::Open(const hid::THidPnPInfo& info) {
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  if (!iface || !iface->plugged || iface->instance != info.DeviceInstance) return nullptr;
  ++iface->handles;
  ++iface->openCount;
  return Connect(*this, link_, *iface);
}

std::unique_ptr<hid::HidConnection> SimHidPlatform::Inspect(const hid::THidPnPInfo& info) {
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  if (!iface || !iface->plugged || iface->instance != info.DeviceInstance) return nullptr;
  return Connect(*this, nullptr, *iface);
}

bool SimHidPlatform::LockedElsewhere(const hid::THidPnPInfo& info) {
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  return iface && iface->plugged && iface->instance == info.DeviceInstance && iface->locks > 0;
}

std::shared_ptr<hid::HidReadChannel> SimHidPlatform::OpenReader(const hid::THidPnPInfo& info, std::uint32_t& error) {
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  if (!iface || !iface->plugged || iface->instance != info.DeviceInstance) {
    error = kErrNoDevice;
    return nullptr;
  }
  if (iface->profileText.queryOnly) {
    error = kErrAccess;
    return nullptr;
  }
  ++iface->handles;
  auto channel = std::make_shared<SimReadChannel>([this] { PokeClock(); },
                                                  [link = link_, id = iface->id] { link->Released(id); });
  iface->readers.push_back(channel);
  return channel;
}

namespace {
class SimLock : public hid::HidLock {
 public:
  SimLock(std::mutex& mutex, std::shared_ptr<SimInterface> iface) : mutex_(mutex), iface_(std::move(iface)) {}
  ~SimLock() override {
    std::lock_guard lock(mutex_);
    --iface_->locks;
  }
  SimLock(const SimLock&) = delete;
  SimLock& operator=(const SimLock&) = delete;

 private:
  std::mutex& mutex_;
  std::shared_ptr<SimInterface> iface_;
};
}  // namespace

std::unique_ptr<hid::HidLock> SimHidPlatform::Lock(const hid::THidPnPInfo& info, std::uint32_t& error) {
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  if (!iface || !iface->plugged || iface->instance != info.DeviceInstance) {
    error = kErrNoDevice;
    return nullptr;
  }
  if (iface->locks > 0) {
    error = kErrWouldBlock;
    return nullptr;
  }
  ++iface->locks;
  error = 0;
  return std::make_unique<SimLock>(mutex_, iface);
}

void SimHidPlatform::SetChangeHandler(std::function<void()> handler) {
  QObject* old = nullptr;
  {
    std::lock_guard lock(mutex_);
    old = changeContext_;
    changeContext_ = handler ? new hid::WakeupReceiver([this] {
      std::function<void()> current;
      {
        std::lock_guard inner(mutex_);
        current = changeHandler_;
        changePending_ = false;
      }
      if (current) current();
    })
                             : nullptr;
    changeHandler_ = std::move(handler);
  }
  delete old;  // drops notifications still queued for the previous handler
}

void SimHidPlatform::PostChange() {
  std::lock_guard lock(mutex_);
  if (changeContext_ == nullptr) return;
  changePending_ = true;
  changeContext_->Wake();
}

void SimHidPlatform::UseClock(VirtualClock* clock) {
  {
    std::lock_guard lock(mutex_);
    if (clock_ != nullptr) clock_->SetSettledCheck(nullptr);
    clock_ = clock;
  }
  if (clock != nullptr) clock->SetSettledCheck([this] { return Settled(); });
}

bool SimHidPlatform::Settled() const {
  std::lock_guard lock(mutex_);
  if (!jobs_.empty() || processing_ || changePending_ || atEventDue_) return false;
  for (const auto& [id, iface] : interfaces_) {
    for (const auto& weak : iface->readers) {
      const auto reader = weak.lock();
      if (reader && !reader->Settled()) return false;
    }
  }
  return true;
}

void SimHidPlatform::PokeClock() {
  std::lock_guard lock(mutex_);
  if (clock_ != nullptr) clock_->Poke();
}

void SimHidPlatform::SetViolationHandler(std::function<void(int, const std::string&)> handler) {
  QObject* old = nullptr;
  {
    std::lock_guard lock(mutex_);
    old = violationContext_;
    pendingViolations_.clear();
    violationHandler_ = std::move(handler);
    violationContext_ =
        violationHandler_ ? new hid::WakeupReceiver([this] { DeliverViolations(); }) : nullptr;
  }
  delete old;
}

void SimHidPlatform::AtEvent(int id, std::uint32_t event, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  if (atEventContext_ == nullptr) atEventContext_ = new hid::WakeupReceiver([this] { RunAtEvent(); });
  atEvent_ = {id, event, std::move(action)};
}

void SimHidPlatform::RunAtEvent() {
  std::function<void()> action;
  {
    std::lock_guard lock(mutex_);
    if (!atEventDue_) return;
    action = std::move(atEvent_.action);
    atEvent_ = {};
  }
  if (action) action();
  {
    std::lock_guard lock(mutex_);
    atEventDue_ = false;
  }
  PokeClock();
}

void SimHidPlatform::DeliverViolations() {
  for (;;) {
    std::pair<int, std::string> next;
    std::function<void(int, const std::string&)> handler;
    {
      std::lock_guard lock(mutex_);
      if (pendingViolations_.empty()) return;
      next = std::move(pendingViolations_.front());
      pendingViolations_.pop_front();
      handler = violationHandler_;
    }
    if (handler) handler(next.first, next.second);
  }
}

std::string SimHidPlatform::ReportedViolation(const hid::THidPnPInfo& info) {
  // Answers arrive before their events are over: let the firmware finish
  // with everything written so far.
  WaitIdle(2000);
  std::lock_guard lock(mutex_);
  auto iface = FindByPath(info.InterfacePath);
  if (!iface || !iface->model || iface->model->Violations().empty()) return {};
  return iface->model->Violations().front();
}

bool SimHidPlatform::WriteOutput(int id, const std::uint8_t* data, std::size_t size, std::uint32_t& error) {
  std::chrono::steady_clock::time_point sent{};
  Job job{id, std::vector<std::uint8_t>(64, 0)};
  bool toModel = false;
  int stallMs = -1;
  {
    std::lock_guard lock(mutex_);
    auto iface = Find(id);
    error = kErrNoDevice;
    if (!iface || !iface->plugged) return false;
    if (iface->stallWrites > 0) {
      --iface->stallWrites;
      stallMs = iface->stallMs;
      error = iface->stallError;
    } else if (iface->model && iface->model->Stalled()) {
      // A hung firmware no longer reads its endpoint: the report is never taken.
      stallMs = kUsbWriteTimeoutMs;
      error = kErrTimedOut;
    }
  }
  if (stallMs >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    auto iface = Find(id);
    if (!iface || !iface->plugged) return false;
    ++iface->outputCount;
    if (iface->paceMs > 0) sent = NextFrameEnd(std::chrono::steady_clock::now(), iface->lastOut, iface->paceMs);
    toModel = iface->model != nullptr;
  }
  // The report-ID byte is not part of what the firmware sees.
  if (size > 1) std::copy_n(data + 1, std::min<std::size_t>(size - 1, 64), job.report.begin());
  // A synchronous write returns once the report went out in its frame; the
  // firmware sees it only then.
  if (sent != std::chrono::steady_clock::time_point{}) std::this_thread::sleep_until(sent);
  if (!toModel) return true;
  {
    std::lock_guard lock(mutex_);
    auto iface = Find(id);
    if (!iface || !iface->plugged) return true;  // gone while on the wire
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  return true;
}

void SimHidPlatform::HandleClosed(int id) {
  {
    std::lock_guard lock(mutex_);
    auto iface = Find(id);
    if (!iface || --iface->handles > 0 || !iface->model) return;
    // After the reports written before it, like the kernel's close event.
    jobs_.push_back({id, {}, true});
  }
  wake_.notify_all();
}

bool SimHidPlatform::ReadString(int id, bool serial, std::u16string& text) {
  std::lock_guard lock(mutex_);
  auto iface = Find(id);
  if (!iface || !iface->plugged) return false;
  ++iface->stringReads;
  if (iface->failStrings > 0) {
    --iface->failStrings;
    return false;
  }
  text = serial ? iface->profileText.serial : iface->profileText.product;
  return true;
}

void SimHidPlatform::DeviceThread() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto first = std::min_element(answers_.begin(), answers_.end(), [](const auto& a, const auto& b) {
      return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    if (stopping_) return;
    if (first != answers_.end() && first->due <= std::chrono::steady_clock::now()) {
      DueAnswer answer = std::move(*first);
      answers_.erase(first);
      processing_ = true;
      SendReaction(lock, answer.id, answer.reaction);
    } else if (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      processing_ = true;
      HandleJob(lock, job);
    } else {
      if (first != answers_.end()) {
        wake_.wait_until(lock, first->due);
      } else {
        wake_.wait(lock);
      }
      continue;
    }
    processing_ = false;
    idle_.notify_all();
    if (clock_ != nullptr) clock_->Poke();
  }
}

void SimHidPlatform::HandleJob(std::unique_lock<std::mutex>& lock, Job& job) {
  auto iface = Find(job.id);
  if (!iface || !iface->plugged || !iface->model) return;
  const std::size_t seen = iface->model->Violations().size();
  BootloaderModel::Reaction reaction;
  if (job.closed) {
    iface->model->ConnectionEnded();
  } else {
    reaction = iface->model->OnOutputReport(job.report.data(), job.report.size());
  }
  const auto& violations = iface->model->Violations();
  for (std::size_t i = seen; i < violations.size(); ++i) {
    pendingViolations_.emplace_back(job.id, violations[i]);
  }
  if (violations.size() > seen && violationContext_ != nullptr) violationContext_->Wake();
  if (job.closed) return;
  // Posted before the event's answer goes out, so it runs before the answer is taken.
  if (atEvent_.action && !atEventDue_ && atEvent_.id == job.id && iface->model->Events() >= atEvent_.event) {
    atEventDue_ = true;
    atEventContext_->Wake();
  }

  // The firmware answers once it has finished the work queued before. It
  // takes the next report meanwhile, and the other devices go on with theirs.
  if (clock_ != nullptr) {
    // Simulated time: no thread sleeps for it.
    const std::int64_t now = clock_->NowMs();
    const std::int64_t due = std::max(now, iface->busyUntil) + reaction.delayMs;
    iface->busyUntil = due;
    if (due > now) {
      clock_->At(due, [this, id = job.id, reaction = std::move(reaction)] { Answer(id, reaction); });
      return;
    }
  } else {
    const auto now = std::chrono::steady_clock::now();
    const auto due = std::max(now, iface->answeredUntil) + std::chrono::milliseconds(reaction.delayMs);
    iface->answeredUntil = due;
    if (due > now && (!reaction.replies.empty() || reaction.vanish)) {
      answers_.push_back({due, nextAnswer_++, job.id, std::move(reaction)});
      return;
    }
  }
  SendReaction(lock, job.id, reaction);
}

void SimHidPlatform::SendReaction(std::unique_lock<std::mutex>& lock, int id,
                                  const BootloaderModel::Reaction& reaction) {
  auto iface = Find(id);
  if (!iface) return;
  const std::uint32_t pace = iface->paceMs;
  for (const auto& reply : reaction.replies) {
    if (pace > 0) {
      const auto sent = NextFrameEnd(std::chrono::steady_clock::now(), iface->lastIn, pace);
      lock.unlock();
      std::this_thread::sleep_until(sent);
      lock.lock();
      if (stopping_) return;
    }
    if (!iface->plugged) break;
    std::vector<std::uint8_t> report(65, 0);  // report ID 0, then the 64 data bytes
    std::copy(reply.begin(), reply.end(), report.begin() + 1);
    iface->ForEachReader([&](SimReadChannel& r) { r.Push(report); });
  }
  if (reaction.vanish) {
    lock.unlock();
    Vanish(id, true);
    lock.lock();
  }
}

void SimHidPlatform::Answer(int id, const BootloaderModel::Reaction& reaction) {
  {
    std::lock_guard lock(mutex_);
    auto iface = Find(id);
    if (!iface || !iface->plugged) return;
    for (const auto& reply : reaction.replies) {
      std::vector<std::uint8_t> report(65, 0);  // report ID 0, then the 64 data bytes
      std::copy(reply.begin(), reply.end(), report.begin() + 1);
      iface->ForEachReader([&](SimReadChannel& r) { r.Push(report); });
    }
  }
  if (reaction.vanish) Vanish(id, true);
}

}  // namespace quorvel::sim
