// SPDX-License-Identifier: Apache-2.0
#include "cli/one_board_platform.h"

#include <cerrno>
#include <utility>

namespace quorvel::cli {

namespace {

bool SameListing(const std::vector<hid::THidPnPInfo>& a, const std::vector<hid::THidPnPInfo>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].DeviceInstance != b[i].DeviceInstance || a[i].InterfacePath != b[i].InterfacePath) return false;
  }
  return true;
}

}  // namespace

OneBoardPlatform::OneBoardPlatform(hid::HidPlatform& inner, std::string interfacePath)
    : inner_(inner), path_(std::move(interfacePath)) {}

OneBoardPlatform::~OneBoardPlatform() {
  WaitForReaders();  // readers and locks go through this object's members
  if (handler_) inner_.SetChangeHandler(nullptr);
}

void OneBoardPlatform::Follow(std::string interfacePath) {
  std::lock_guard lock(pathM_);
  path_ = std::move(interfacePath);
}

std::vector<hid::THidPnPInfo> OneBoardPlatform::Scan() {
  seen_ = inner_.ScanPath(Path());
  return seen_;
}

std::vector<hid::THidPnPInfo> OneBoardPlatform::ScanPath(const std::string& interfacePath) {
  if (interfacePath != Path()) return {};
  return Scan();
}

std::unique_ptr<hid::HidConnection> OneBoardPlatform::Open(const hid::THidPnPInfo& info) {
  return Ours(info) ? inner_.Open(info) : nullptr;
}

std::unique_ptr<hid::HidConnection> OneBoardPlatform::Inspect(const hid::THidPnPInfo& info) {
  return Ours(info) ? inner_.Inspect(info) : nullptr;
}

bool OneBoardPlatform::LockedElsewhere(const hid::THidPnPInfo& info) {
  return Ours(info) && inner_.LockedElsewhere(info);
}

std::shared_ptr<hid::HidReadChannel> OneBoardPlatform::OpenReader(const hid::THidPnPInfo& info,
                                                                  std::uint32_t& error) {
  if (Ours(info)) return inner_.OpenReader(info, error);
  error = ENODEV;
  return nullptr;
}

std::unique_ptr<hid::HidLock> OneBoardPlatform::Lock(const hid::THidPnPInfo& info, std::uint32_t& error) {
  if (Ours(info)) return inner_.Lock(info, error);
  error = ENODEV;
  return nullptr;
}

void OneBoardPlatform::SetChangeHandler(std::function<void()> handler) {
  handler_ = std::move(handler);
  if (handler_) {
    // A notification still on its way from before (the board's own plugging)
    // is no news to a handler that scans next.
    seen_ = inner_.ScanPath(Path());
    inner_.SetChangeHandler([this] { OnChange(); });
  } else {
    inner_.SetChangeHandler(nullptr);
  }
}

std::string OneBoardPlatform::ReportedViolation(const hid::THidPnPInfo& info) {
  return Ours(info) ? inner_.ReportedViolation(info) : std::string();
}

// Only the board's own coming, going or replacement is news here: looking it
// up touches no other interface.
void OneBoardPlatform::OnChange() {
  ++changesSeen_;
  std::vector<hid::THidPnPInfo> now = inner_.ScanPath(Path());
  if (SameListing(now, seen_)) return;
  seen_ = std::move(now);
  ++changesPassedOn_;
  if (handler_) handler_();
}

}  // namespace quorvel::cli
