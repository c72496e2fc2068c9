// SPDX-License-Identifier: Apache-2.0
#pragma once
// The HID platform as one child of `upload --all` sees it: the interface the
// parent gave it and nothing else. The others are never listed, opened or
// locked, and their coming and going is not passed on, so a board that
// finishes (and vanishes as it restarts) costs the other children nothing.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace quorvel::cli {

class OneBoardPlatform : public hid::HidPlatform {
 public:
  // `inner` must outlive this.
  OneBoardPlatform(hid::HidPlatform& inner, std::string interfacePath);
  ~OneBoardPlatform() override;

  // The board's path once it is known (a simulated board plugged later).
  void Follow(std::string interfacePath);
  // Change notifications of the inner platform, and how many of them concerned this board.
  int ChangesSeen() const { return changesSeen_; }
  int ChangesPassedOn() const { return changesPassedOn_; }

  bool Available() const override { return inner_.Available(); }
  std::vector<hid::THidPnPInfo> Scan() override;
  std::vector<hid::THidPnPInfo> ScanPath(const std::string& interfacePath) override;
  std::unique_ptr<hid::HidConnection> Open(const hid::THidPnPInfo& info) override;
  std::unique_ptr<hid::HidConnection> Inspect(const hid::THidPnPInfo& info) override;
  bool LockedElsewhere(const hid::THidPnPInfo& info) override;
  std::shared_ptr<hid::HidReadChannel> OpenReader(const hid::THidPnPInfo& info,
                                                  std::uint32_t& error) override;
  std::unique_ptr<hid::HidLock> Lock(const hid::THidPnPInfo& info, std::uint32_t& error) override;
  void SetChangeHandler(std::function<void()> handler) override;
  std::string ReportedViolation(const hid::THidPnPInfo& info) override;

 private:
  // Reader and lock threads ask whether an interface is ours while Follow()
  // may still change the path on the UI thread.
  std::string Path() const {
    std::lock_guard lock(pathM_);
    return path_;
  }
  bool Ours(const hid::THidPnPInfo& info) const { return info.InterfacePath == Path(); }
  void OnChange();

  hid::HidPlatform& inner_;
  mutable std::mutex pathM_;
  std::string path_;
  std::vector<hid::THidPnPInfo> seen_;  // the board as last listed
  std::function<void()> handler_;
  int changesSeen_ = 0;
  int changesPassedOn_ = 0;
};

}  // namespace quorvel::cli
