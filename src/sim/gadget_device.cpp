// SPDX-License-Identifier: Apache-2.0
#include "sim/gadget_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvel::sim {
namespace {

constexpr const char* kKeyboard = "hid.keyboard";
constexpr const char* kBootloader = "hid.bootloader";
constexpr const char* kConfig = "configs/c.1";

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

const std::vector<std::uint8_t>& BootKeyboardReportDescriptor() {
  static const std::vector<std::uint8_t> descriptor = {
      0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,  // Generic Desktop, Keyboard, Collection (Application)
      0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,  //   modifier keys
      0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,              // 8 bits
      0x95, 0x01, 0x75, 0x08, 0x81, 0x01,                                      //   reserved byte
      0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // 5 LEDs
      0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                                      //   LED padding
      0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,                          // six key codes
      0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
  };
  return descriptor;
}

// --- the real file operations ---------------------------------------------------

bool GadgetFs::MakeDir(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool GadgetFs::RemoveDir(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool GadgetFs::Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool GadgetFs::WriteFile(const std::string& path, const std::string& contents) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // A configfs attribute takes its value from one write.
  ssize_t n;
  do {
    n = ::write(fd, contents.data(), contents.size());
  } while (n < 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  if (n == static_cast<ssize_t>(contents.size())) return true;
  errno = n < 0 ? saved : EIO;
  return false;
}

bool GadgetFs::ReadFile(const std::string& path, std::string& contents) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return n == 0;
    }
    contents.append(buffer, static_cast<std::size_t>(n));
  }
}

bool GadgetFs::Symlink(const std::string& target, const std::string& link) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool GadgetFs::Unlink(const std::string& path) { return ::unlink(path.c_str()) == 0; }

int GadgetFs::OpenNode(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

GadgetFs& DefaultGadgetFs() {
  static GadgetFs fs;
  return fs;
}

// --- the gadget -----------------------------------------------------------------

GadgetBootloader::GadgetBootloader(GadgetFs& fs, GadgetOptions options, DeviceCallbacks callbacks)
    : DeviceSession(options.timing, std::move(callbacks)),
      fs_(fs),
      options_(std::move(options)),
      root_(options_.configfs + "/" + options_.name) {}

GadgetBootloader::~GadgetBootloader() {
  UnplugIfPresent();
  if (configured_) Teardown();
}

bool GadgetBootloader::Failed(const std::string& what) {
  Error(what + ": " + std::strerror(errno));
  return false;
}

bool GadgetBootloader::AddFunction(const std::string& instance, const std::string& protocol,
                                   const std::string& subclass, const std::string& reportLength,
                                   const std::vector<std::uint8_t>& descriptor, bool outEndpoint) {
  const std::string dir = "functions/" + instance;
  if (!fs_.MakeDir(Path(dir))) return Failed("cannot create " + Path(dir));
  const std::pair<std::string, std::string> attributes[] = {
      {"protocol", protocol},
      {"subclass", subclass},
      {"report_length", reportLength},
      {"report_desc", std::string(descriptor.begin(), descriptor.end())},
  };
  for (const auto& [name, value] : attributes) {
    if (!fs_.WriteFile(Path(dir + "/" + name), value))
      return Failed("cannot write " + Path(dir + "/" + name));
  }
  // Without an OUT endpoint output reports travel as SET_REPORT requests on
  // the control pipe, as a boot keyboard's LED reports do.
  if (!outEndpoint && !fs_.WriteFile(Path(dir + "/no_out_endpoint"), "1")) {
    return Failed("cannot write " + Path(dir + "/no_out_endpoint"));
  }
  // configfs resolves a link's target from the caller, not from the link: absolute.
  if (!fs_.Symlink(Path(dir), Path(std::string(kConfig) + "/" + instance))) {
    return Failed("cannot link " + Path(dir) + " into " + Path(kConfig));
  }
  functions_.push_back(instance);
  return true;
}

bool GadgetBootloader::Configure() {
  if (fs_.Exists(root_)) {
    // Left by a run that was killed: it may still be bound.
    fs_.WriteFile(Path("UDC"), "\n");
    Teardown();
  }
  configured_ = true;  // from here on, whatever was made is removed again
  if (!fs_.MakeDir(root_))
    return Failed("cannot create " + root_ + " (is configfs mounted and libcomposite loaded?)");
  const GadgetIdentity& id = options_.identity;
  const std::pair<std::string, std::string> device[] = {
      {"idVendor", Hex4(id.vendorId)},
      {"idProduct", Hex4(id.productId)},
      {"bcdDevice", Hex4(id.bcdDevice)},
      {"bcdUSB", "0x0200"},
  };
  for (const auto& [name, value] : device) {
    if (!fs_.WriteFile(Path(name), value)) return Failed("cannot write " + Path(name));
  }
  std::vector<std::pair<std::string, std::string>> strings = {{"manufacturer", id.manufacturer},
                                                              {"product", id.product}};
  if (!id.serial.empty()) strings.emplace_back("serialnumber", id.serial);
  const std::string config = kConfig;
  for (const std::string& dir : {std::string("strings/0x409"), config, config + "/strings/0x409"}) {
    if (!fs_.MakeDir(Path(dir))) return Failed("cannot create " + Path(dir));
  }
  for (const auto& [name, value] : strings) {
    const std::string path = Path("strings/0x409/" + name);
    if (!fs_.WriteFile(path, value)) return Failed("cannot write " + path);
  }
  if (!fs_.WriteFile(Path(config + "/strings/0x409/configuration"), "Bootloader")) {
    return Failed("cannot write the configuration's name");
  }
  if (options_.composite &&
      !AddFunction(kKeyboard, "1", "1", "8", BootKeyboardReportDescriptor(), /*outEndpoint=*/false)) {
    return false;
  }
  return AddFunction(kBootloader, "0", "0", std::to_string(kDeviceReportSize), BootloaderReportDescriptor(),
                     /*outEndpoint=*/true);
}

void GadgetBootloader::Teardown() {
  // configfs wants the reverse order of creation; every step may be missing
  // after a partial set-up, so none is required to succeed.
  const std::string config = kConfig;
  for (const char* instance : {kKeyboard, kBootloader}) {
    if (fs_.Exists(Path(config + "/" + instance))) fs_.Unlink(Path(config + "/" + instance));
  }
  for (const std::string& dir : {config + "/strings/0x409", config, std::string("functions/") + kKeyboard,
                                 std::string("functions/") + kBootloader, std::string("strings/0x409")}) {
    if (fs_.Exists(Path(dir))) fs_.RemoveDir(Path(dir));
  }
  if (fs_.Exists(root_) && !fs_.RemoveDir(root_)) Failed("cannot remove " + root_);
  functions_.clear();
  configured_ = false;
}

bool GadgetBootloader::OpenBootloaderNode() {
  // The function's "dev" attribute names the node's numbers; the node itself
  // exists only while the gadget is bound.
  std::string dev;
  const std::string attribute = Path(std::string("functions/") + kBootloader + "/dev");
  if (!fs_.ReadFile(attribute, dev)) return Failed("cannot read " + attribute);
  const std::size_t colon = dev.find(':');
  if (colon == std::string::npos) {
    Error(attribute + ": unexpected contents '" + dev + "'");
    return false;
  }
  std::string minor = dev.substr(colon + 1);
  while (!minor.empty() && (minor.back() == '\n' || minor.back() == ' ')) minor.pop_back();
  const std::string node = options_.devDir + "/hidg" + minor;
  // devtmpfs creates the node during the bind; give a udev-managed /dev a moment.
  for (int attempt = 0; attempt < 200; ++attempt) {
    node_ = fs_.OpenNode(node);
    if (node_ >= 0) return true;
    if (errno != ENOENT) break;
    ::poll(nullptr, 0, 10);
  }
  return Failed("cannot open " + node);
}

bool GadgetBootloader::Create() {
  if (!configured_ && !Configure()) return false;
  if (!fs_.WriteFile(Path("UDC"), options_.udc)) return Failed("cannot bind to UDC '" + options_.udc + "'");
  if (!OpenBootloaderNode()) {
    fs_.WriteFile(Path("UDC"), "\n");
    return false;
  }
  MarkStarted();
  return true;
}

void GadgetBootloader::Destroy() {
  if (node_ >= 0) ::close(node_);
  node_ = -1;
  if (!fs_.WriteFile(Path("UDC"), "\n")) Failed("cannot unbind from UDC '" + options_.udc + "'");
}

int GadgetBootloader::InputFd() const {
  // A hung firmware reads nothing: the host's reports pile up in the endpoint.
  return CurrentState() == State::kRunning && !Stalled() ? node_ : -1;
}

bool GadgetBootloader::OnReadable(int stopFd) {
  // One read returns one OUT transfer; room for more shows an oversized one.
  std::uint8_t buffer[2 * kDeviceReportSize];
  ssize_t n;
  do {
    n = ::read(node_, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return true;
  if (n <= 0) {
    if (n == 0) errno = ENODEV;
    MarkFdFailed();
    return Failed("hidg read failed");
  }
  if (static_cast<std::size_t>(n) != kDeviceReportSize) {
    Note("output report of " + std::to_string(n) + " bytes, expected " + std::to_string(kDeviceReportSize));
  }
  DeviceReport report{};
  std::copy_n(buffer, std::min(static_cast<std::size_t>(n), kDeviceReportSize), report.begin());
  return Serve(report, stopFd);
}

bool GadgetBootloader::SendInput(const DeviceReport& report, int stopFd) {
  for (;;) {
    const ssize_t n = ::write(node_, report.data(), report.size());
    if (n == static_cast<ssize_t>(report.size())) return true;
    if (n >= 0) {
      Error("hidg write: short write");
      MarkFdFailed();
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == ESHUTDOWN) {
      // The host dropped the configuration (a reset): the answer is lost, as on a board.
      Note("hidg write: endpoint shut down, answer dropped");
      return true;
    }
    if (errno != EAGAIN) {
      MarkFdFailed();
      return Failed("hidg write failed");
    }
    // The previous input report has not been fetched by the host yet.
    pollfd fds[2] = {{node_, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
      MarkFdFailed();
      return Failed("poll on hidg failed");
    }
    if (fds[1].revents != 0) return false;  // stop requested
  }
}

}  // namespace quorvel::sim
