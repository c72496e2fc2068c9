// SPDX-License-Identifier: Apache-2.0
#pragma once
// A HID platform for tests that passes everything on to another one and
// notes the handles and locks taken on the UI thread.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_platform.h"

namespace quorvel::test {

// Passes everything on to the simulator and notes each open, write and close
// of a handle, and each lock taken and let go, made on the thread that
// created it (the UI thread). A lock can be held up after it was taken (`holdLock`).
class ThreadRecordingPlatform : public hid::HidPlatform {
 public:
  struct Log {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id ui = std::this_thread::get_id();
    int calls = 0;
    int locksTaken = 0;
    int locksHeld = 0;
    int holdLock = 0;  // the lock taken as number `holdLock` waits for `released`
    bool held = false;
    bool released = false;
    std::vector<std::string> onUi;
    void Note(const char* what) {
      std::lock_guard lock(m);
      ++calls;
      if (std::this_thread::get_id() == ui) onUi.emplace_back(what);
    }
  };
  explicit ThreadRecordingPlatform(hid::HidPlatform& inner) : inner_(inner) {}
  ~ThreadRecordingPlatform() override { WaitForReaders(); }
  std::shared_ptr<Log> log = std::make_shared<Log>();

  std::vector<hid::THidPnPInfo> Scan() override { return inner_.Scan(); }
  std::unique_ptr<hid::HidConnection> Inspect(const hid::THidPnPInfo& info) override { return inner_.Inspect(info); }
  bool LockedElsewhere(const hid::THidPnPInfo& info) override { return inner_.LockedElsewhere(info); }
  std::unique_ptr<hid::HidLock> Lock(const hid::THidPnPInfo& info, std::uint32_t& error) override {
    log->Note("lock");
    auto inner = inner_.Lock(info, error);
    std::unique_lock lock(log->m);
    if (inner) ++log->locksHeld;
    if (++log->locksTaken == log->holdLock) {
      log->held = true;
      log->cv.wait(lock, [&] { return log->released; });
    }
    return inner ? std::make_unique<Held>(std::move(inner), log) : nullptr;
  }
  void SetChangeHandler(std::function<void()> handler) override { inner_.SetChangeHandler(std::move(handler)); }
  std::string ReportedViolation(const hid::THidPnPInfo& info) override { return inner_.ReportedViolation(info); }

  std::unique_ptr<hid::HidConnection> Open(const hid::THidPnPInfo& info) override {
    log->Note("open");
    auto inner = inner_.Open(info);
    return inner ? std::make_unique<Connection>(std::move(inner), log) : nullptr;
  }
  std::shared_ptr<hid::HidReadChannel> OpenReader(const hid::THidPnPInfo& info, std::uint32_t& error) override {
    log->Note("open reader");
    auto inner = inner_.OpenReader(info, error);
    return inner ? std::make_shared<Channel>(std::move(inner), log) : nullptr;
  }

 private:
  struct Connection : hid::HidConnection {
    Connection(std::unique_ptr<hid::HidConnection> c, std::shared_ptr<Log> l) : inner(std::move(c)), log(std::move(l)) {}
    ~Connection() override { log->Note("close"); }
    bool ReadWriteAccess() const override { return inner->ReadWriteAccess(); }
    bool GetAttributes(hid::THidAttributes& a) override { return inner->GetAttributes(a); }
    bool GetProductString(std::u16string& t) override { return inner->GetProductString(t); }
    bool GetSerialString(std::u16string& t) override { return inner->GetSerialString(t); }
    bool GetCaps(hid::THidCaps& c) override { return inner->GetCaps(c); }
    bool Write(const std::uint8_t* d, std::size_t n, std::size_t& w, std::uint32_t& e) override {
      log->Note("write");
      return inner->Write(d, n, w, e);
    }
    std::unique_ptr<hid::HidConnection> inner;
    std::shared_ptr<Log> log;
  };
  struct Held : hid::HidLock {
    Held(std::unique_ptr<hid::HidLock> l, std::shared_ptr<Log> g) : inner(std::move(l)), log(std::move(g)) {}
    ~Held() override {
      log->Note("unlock");
      std::lock_guard lock(log->m);
      --log->locksHeld;
    }
    std::unique_ptr<hid::HidLock> inner;
    std::shared_ptr<Log> log;
  };
  struct Channel : hid::HidReadChannel {
    Channel(std::shared_ptr<hid::HidReadChannel> c, std::shared_ptr<Log> l) : inner(std::move(c)), log(std::move(l)) {}
    Result Read(std::uint8_t* b, std::size_t n, int ms) override { return inner->Read(b, n, ms); }
    void Close() override {
      log->Note("close reader");
      inner->Close();
    }
    void Interrupt() override { inner->Interrupt(); }
    std::shared_ptr<hid::HidReadChannel> inner;
    std::shared_ptr<Log> log;
  };
  hid::HidPlatform& inner_;
};

inline int LocksHeld(ThreadRecordingPlatform& recorder) {
  std::lock_guard lock(recorder.log->m);
  return recorder.log->locksHeld;
}

}  // namespace quorvel::test
