// SPDX-License-Identifier: Apache-2.0
// The platform's lock thread: board locks taken and let go off the UI thread.
#include "hid/hid_platform.h"

#include <utility>

#include "hid/wakeup_receiver.h"

namespace quorvel::hid {

// What the lock thread and the asking thread share, guarded by `m`.
struct LockRequestState {
  std::mutex m;
  THidPnPInfo info;
  bool done = false;
  bool abandoned = false;  // the asker is gone: a lock that arrives is let go where it was taken
  std::unique_ptr<HidLock> lock;
  std::uint32_t error = 0;
  WakeupReceiver* wake = nullptr;  // cleared before it is deleted
};

PendingHidLock::PendingHidLock(HidPlatform& platform, std::shared_ptr<LockRequestState> state)
    : platform_(platform), state_(std::move(state)), wake_(new WakeupReceiver({})) {
  std::lock_guard lock(state_->m);
  state_->wake = wake_;
}

PendingHidLock::~PendingHidLock() {
  std::unique_ptr<HidLock> untaken;
  {
    std::lock_guard lock(state_->m);
    state_->abandoned = true;
    state_->wake = nullptr;
    untaken = std::move(state_->lock);
  }
  if (untaken) platform_.ReleaseAsync(std::move(untaken));
  // Pending wake-ups go with it.
  delete wake_;
}

bool PendingHidLock::Done() const {
  std::lock_guard lock(state_->m);
  return state_->done;
}

std::unique_ptr<HidLock> PendingHidLock::Take(std::uint32_t& error) {
  std::lock_guard lock(state_->m);
  error = state_->error;
  return std::move(state_->lock);
}

HidPlatform::~HidPlatform() {
  WaitForReaders();
  {
    std::lock_guard lock(jobsM_);
    jobsStop_ = true;
  }
  jobsCv_.notify_all();
  if (lockThread_.joinable()) lockThread_.join();
}

std::unique_ptr<PendingHidLock> HidPlatform::LockAsync(const THidPnPInfo& info) {
  auto state = std::make_shared<LockRequestState>();
  state->info = info;
  auto pending = std::make_unique<PendingHidLock>(*this, state);
  Queue({std::move(state), nullptr});
  return pending;
}

void HidPlatform::ReleaseAsync(std::unique_ptr<HidLock> lock) {
  if (lock) Queue({nullptr, std::move(lock)});
}

void HidPlatform::Queue(LockJob job) {
  ReaderStarted();
  std::lock_guard lock(jobsM_);
  jobs_.push_back(std::move(job));
  if (!lockThread_.joinable()) lockThread_ = std::thread(&HidPlatform::LockThread, this);
  jobsCv_.notify_all();
}

void HidPlatform::LockThread() {
  std::unique_lock lock(jobsM_);
  for (;;) {
    jobsCv_.wait(lock, [&] { return jobsStop_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    LockJob job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    if (job.take) {
      std::uint32_t error = 0;
      std::unique_ptr<HidLock> taken = Lock(job.take->info, error);
      {
        std::lock_guard stateLock(job.take->m);
        if (!job.take->abandoned) {
          job.take->lock = std::move(taken);
          job.take->error = error;
          job.take->done = true;
          if (job.take->wake != nullptr) job.take->wake->Wake();
        }
      }
      taken.reset();  // nobody wants it any more
    }
    job.release.reset();
    job = {};
    ReaderEnded();
    lock.lock();
  }
}

}  // namespace quorvel::hid
