// quorvel-uhid: the simulated bootloader firmware as a real kernel HID device.
//
// Creates a HID device through /dev/uhid that any program (quorvel, quorvel-cli,
// hidraw tools) finds and talks to exactly like a USB bootloader, so the Linux
// backend can be tested end to end without hardware. Runs until SIGTERM/SIGINT,
// or until the device vanished and is not to come back.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sim/bootloader_model.h"
#include "sim/sim_profile.h"
#include "sim/uhid_device.h"

namespace {

using quorvel::sim::BootloaderModel;
using quorvel::sim::SimProfile;

constexpr const char* kUsage =
    "Usage: quorvel-uhid [options]\n"
    "Exposes the simulated bootloader as a kernel HID device through /dev/uhid.\n"
    "\n"
    "  --simulate SPEC        profile keys as for quorvel-cli --simulate\n"
    "                         (family=..., serial=..., pace=..., drop/nak/unplug=N, plug-after=MS)\n"
    "  --trace FILE           write the bootloader's trace, one event a line\n"
    "  --create-after MS      create the device this long after start (default: plug-after)\n"
    "  --recreate-after MS    after the device vanished (reboot, unplug), create it again\n"
    "                         after MS; without it the program ends when the device vanishes\n"
    "  --destroy-on-event N   destroy the device on trace event N (same as unplug=N)\n"
    "  --ready FILE           write the incarnation number to FILE once the kernel started\n"
    "                         the device; removed while the device is gone. The device's\n"
    "                         HID_PHYS is quorvel-uhid-<pid>/<incarnation>\n"
    "  --device PATH          uhid character device (default /dev/uhid)\n"
    "  --no-realtime          do not ask for real-time scheduling (see below)\n"
    "  --verbose              report device creation, removal and oddities on stderr\n"
    "  --help                 this text\n"
    "\n"
    "\n"
    "A USB device holds the host's write until it has taken the report; uhid does not:\n"
    "the kernel queues at most 32 events for this program and drops the rest. So the\n"
    "program asks for real-time scheduling (when permitted), which lets it take each\n"
    "report as soon as it is written, even on a single CPU.\n"
    "\n"
    "Exit status: 0 ended normally, 1 usage error, 2 the uhid device failed.\n";

std::optional<std::int64_t> ParseNumber(std::string_view text) {
  std::int64_t value = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 0x7FFFFFFF) {
    return std::nullopt;
  }
  return value;
}

struct Args {
  std::string spec;
  std::string traceFile;
  std::string readyFile;
  std::string device = "/dev/uhid";
  std::optional<std::int64_t> createAfter;
  std::int64_t recreateAfter = -1;
  std::int64_t destroyOnEvent = 0;
  bool verbose = false;
  bool realtime = true;
};

// Returns 0 to go on, or an exit status.
int ParseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (arg == "--verbose") {
      args.verbose = true;
      continue;
    }
    if (arg == "--no-realtime") {
      args.realtime = false;
      continue;
    }
    const bool takesValue = arg == "--simulate" || arg == "--trace" || arg == "--ready" ||
                            arg == "--device" || arg == "--create-after" || arg == "--recreate-after" ||
                            arg == "--destroy-on-event";
    if (!takesValue) {
      std::fprintf(stderr, "quorvel-uhid: unknown option '%s'\n%s", argv[i], kUsage);
      return 1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "quorvel-uhid: %s needs a value\n", argv[i]);
      return 1;
    }
    const std::string_view value = argv[++i];
    if (arg == "--simulate") {
      args.spec = value;
    } else if (arg == "--trace") {
      args.traceFile = value;
    } else if (arg == "--ready") {
      args.readyFile = value;
    } else if (arg == "--device") {
      args.device = value;
    } else {
      const auto number = ParseNumber(value);
      if (!number) {
        std::fprintf(stderr, "quorvel-uhid: %s: '%s' is not a number\n", argv[i - 1], argv[i]);
        return 1;
      }
      if (arg == "--create-after") args.createAfter = *number;
      if (arg == "--recreate-after") args.recreateAfter = *number;
      if (arg == "--destroy-on-event") args.destroyOnEvent = *number;
    }
  }
  return 0;
}

// Appends the model's trace lines to a file as they happen, so the trace is
// complete up to the last report even if the program is killed.
class TraceWriter {
 public:
  bool Open(const std::string& path) {
    if (path.empty()) return true;
    out_.open(path, std::ios::out | std::ios::trunc);
    return out_.is_open();
  }
  void Restart() { written_ = 0; }
  void Catch(const BootloaderModel& model) {
    if (!out_.is_open()) return;
    const auto& lines = model.Trace();
    for (; written_ < lines.size(); ++written_) out_ << lines[written_] << '\n';
    out_.flush();
  }

 private:
  std::ofstream out_;
  std::size_t written_ = 0;
};

void WriteReady(const std::string& path, int incarnation) {
  if (path.empty()) return;
  // Written aside and renamed so a reader never sees a half-written file.
  const std::string temp = path + ".tmp";
  if (std::FILE* f = std::fopen(temp.c_str(), "w")) {
    std::fprintf(f, "%d\n", incarnation);
    std::fclose(f);
    std::rename(temp.c_str(), path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (const int rc = ParseArgs(argc, argv, args); rc != 0) return rc < 0 ? 0 : rc;

  auto parsed = quorvel::sim::ParseSimSpec(args.spec);
  if (const auto* error = std::get_if<quorvel::sim::SimSpecError>(&parsed)) {
    std::fprintf(stderr, "quorvel-uhid: --simulate: %s\n", error->message.c_str());
    return 1;
  }
  SimProfile profile = std::get<SimProfile>(parsed);
  if (args.destroyOnEvent > 0) profile.unplugEvent = static_cast<std::uint32_t>(args.destroyOnEvent);

  TraceWriter trace;
  if (!trace.Open(args.traceFile)) {
    std::fprintf(stderr, "quorvel-uhid: cannot write trace file '%s': %s\n", args.traceFile.c_str(),
                 std::strerror(errno));
    return 1;
  }

  // SIGTERM/SIGINT/SIGHUP arrive through a descriptor so the event loop can
  // destroy the device and flush the trace before leaving.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::fprintf(stderr, "quorvel-uhid: signalfd: %s\n", std::strerror(errno));
    return 2;
  }

  if (args.realtime) {
    sched_param param{};
    param.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0 && args.verbose) {
      std::fprintf(stderr, "quorvel-uhid: no real-time scheduling (%s); bursts of reports may be lost\n",
                   std::strerror(errno));
    }
  }

  const int uhidFd = ::open(args.device.c_str(), O_RDWR | O_CLOEXEC);
  if (uhidFd < 0) {
    std::fprintf(stderr, "quorvel-uhid: cannot open %s: %s\n", args.device.c_str(), std::strerror(errno));
    return 2;
  }

  quorvel::sim::UhidOptions options;
  options.identity.name = profile.product;
  options.identity.serial = profile.serial;
  options.identity.vendorId = profile.vendorId;
  options.identity.productId = profile.productId;
  options.identity.physPrefix = "quorvel-uhid-" + std::to_string(::getpid());
  options.createAfterMs = static_cast<std::uint32_t>(args.createAfter.value_or(profile.plugAfterMs));
  options.recreateAfterMs = args.recreateAfter;
  options.paceMs = profile.paceMs;

  // A device that comes back after a reboot or unplug runs its firmware from
  // the start: a fresh model, and the one-shot faults already happened.
  auto model = std::make_unique<BootloaderModel>(profile);
  const bool verbose = args.verbose;

  quorvel::sim::UhidCallbacks callbacks;
  callbacks.onReport = [&](const quorvel::sim::UhidReport& report) {
    const auto reaction = model->OnOutputReport(report.data(), report.size());
    trace.Catch(*model);
    quorvel::sim::UhidReaction out;
    out.replies.assign(reaction.replies.begin(), reaction.replies.end());
    out.vanish = reaction.vanish;
    return out;
  };
  callbacks.onStarted = [&](int incarnation) {
    if (incarnation > 1) {
      SimProfile again = profile;
      again.dropEvent = again.nakEvent = again.unplugEvent = 0;
      model = std::make_unique<BootloaderModel>(again);
      trace.Restart();
    }
    if (verbose) std::fprintf(stderr, "quorvel-uhid: device started (%d)\n", incarnation);
    WriteReady(args.readyFile, incarnation);
  };
  callbacks.onDestroyed = [&](bool willReturn) {
    if (!args.readyFile.empty()) std::remove(args.readyFile.c_str());
    if (verbose) std::fprintf(stderr, "quorvel-uhid: device destroyed%s\n", willReturn ? ", will return" : "");
  };
  callbacks.onNote = [&](const std::string& text) {
    if (verbose) std::fprintf(stderr, "quorvel-uhid: %s\n", text.c_str());
  };

  int rc;
  {
    quorvel::sim::UhidBootloader device(uhidFd, options, callbacks);
    rc = device.Run(stopFd);
  }
  trace.Catch(*model);
  if (!args.readyFile.empty()) std::remove(args.readyFile.c_str());
  ::close(uhidFd);
  ::close(stopFd);
  if (rc != 0) std::fprintf(stderr, "quorvel-uhid: the uhid device failed\n");
  return rc;
}
