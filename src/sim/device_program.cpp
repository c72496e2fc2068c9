// SPDX-License-Identifier: Apache-2.0
#include "sim/device_program.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim/bootloader_model.h"

namespace quorvel::sim {

const char* const kDeviceProgramCommonHelp =
    "  --simulate KEYS        profile keys as for quorvel-cli --simulate\n"
    "                         (family=..., serial=..., pace=..., drop/nak/unplug/stall=N,\n"
    "                         plug-after=MS)\n"
    "  --trace FILE           write the bootloader's trace, one event a line\n"
    "  --create-after MS      plug the device in this long after start (default: plug-after)\n"
    "  --recreate-after MS    after the device vanished (reboot, unplug), plug it in again\n"
    "                         after MS; without it the program ends when the device vanishes\n"
    "  --destroy-on-event N   unplug the device on trace event N (same as unplug=N)\n"
    "  --ready FILE           write the incarnation number to FILE once the kernel took\n"
    "                         the device; removed while the device is gone\n"
    "  --verbose              report plugging, unplugging and oddities on stderr\n"
    "  --help                 this text\n";

std::optional<std::int64_t> ParseProgramNumber(std::string_view text) {
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

namespace {

struct Args {
  std::string profileText;
  std::string traceFile;
  std::string readyFile;
  std::optional<std::int64_t> createAfter;
  std::int64_t recreateAfter = -1;
  std::int64_t destroyOnEvent = 0;
  bool verbose = false;
};

// Returns 0 to go on, -1 after --help, or an exit status.
int ParseArgs(int argc, char** argv, const DeviceProgramDescription& profileText, Args& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(profileText.usage.c_str(), stdout);
      return -1;
    }
    if (arg == "--verbose") {
      args.verbose = true;
      continue;
    }
    const DeviceProgramOption* own = nullptr;
    for (const auto& option : profileText.options) {
      if (arg == option.name) own = &option;
    }
    const bool common = arg == "--simulate" || arg == "--trace" || arg == "--ready" ||
                        arg == "--create-after" || arg == "--recreate-after" || arg == "--destroy-on-event";
    if (!common && own == nullptr) {
      std::fprintf(stderr, "%s: unknown option '%s'\n%s", profileText.name, argv[i], profileText.usage.c_str());
      return 1;
    }
    if (own != nullptr && !own->takesValue) {
      own->apply({});
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", profileText.name, argv[i]);
      return 1;
    }
    const std::string_view value = argv[++i];
    if (own != nullptr) {
      if (!own->apply(value)) {
        std::fprintf(stderr, "%s: %s: bad value '%s'\n", profileText.name, argv[i - 1], argv[i]);
        return 1;
      }
    } else if (arg == "--simulate") {
      args.profileText = value;
    } else if (arg == "--trace") {
      args.traceFile = value;
    } else if (arg == "--ready") {
      args.readyFile = value;
    } else {
      const auto number = ParseProgramNumber(value);
      if (!number) {
        std::fprintf(stderr, "%s: %s: '%s' is not a number\n", profileText.name, argv[i - 1], argv[i]);
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

// SIGTERM/SIGINT/SIGHUP, blocked, as a descriptor the event loop reads, so it
// can unplug the device and flush the trace before leaving; -1 on failure.
int StopSignalDescriptor() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// The violations the model saw from the `seen`th on, one line each.
void PrintViolationsFrom(const char* name, const BootloaderModel& model, std::size_t seen) {
  for (std::size_t i = seen; i < model.Violations().size(); ++i) {
    std::fprintf(stderr, "%s: VIOLATION %s\n", name, model.Violations()[i].c_str());
  }
}

// What the device's callbacks share while the program runs.
struct Running {
  const char* name;
  const Args& args;
  const SimProfile& profile;
  TraceWriter& trace;
  std::unique_ptr<BootloaderModel> model;
};

DeviceCallbacks CallbacksFor(Running& run) {
  DeviceCallbacks callbacks;
  callbacks.onReport = [&run](const DeviceReport& report) {
    const std::size_t seen = run.model->Violations().size();
    const auto reaction = run.model->OnOutputReport(report.data(), report.size());
    run.trace.Catch(*run.model);
    PrintViolationsFrom(run.name, *run.model, seen);
    DeviceReaction out;
    out.replies.assign(reaction.replies.begin(), reaction.replies.end());
    out.vanish = reaction.vanish;
    out.stall = reaction.stall;
    out.delayMs = reaction.delayMs;
    return out;
  };
  callbacks.onClosed = [&run] {
    const std::size_t seen = run.model->Violations().size();
    run.model->ConnectionEnded();
    run.trace.Catch(*run.model);
    PrintViolationsFrom(run.name, *run.model, seen);
  };
  callbacks.onStarted = [&run](int incarnation) {
    // A device that comes back after a reboot or unplug runs its firmware
    // from the start: a fresh model, and the one-shot faults already happened.
    if (incarnation > 1) {
      SimProfile again = run.profile;
      again.dropEvent = again.nakEvent = again.unplugEvent = again.stallEvent = again.skipEvent = 0;
      run.model = std::make_unique<BootloaderModel>(again);
      run.trace.Restart();
    }
    if (run.args.verbose) std::fprintf(stderr, "%s: device started (%d)\n", run.name, incarnation);
    WriteReady(run.args.readyFile, incarnation);
  };
  callbacks.onDestroyed = [&run](bool willReturn) {
    if (!run.args.readyFile.empty()) std::remove(run.args.readyFile.c_str());
    if (run.args.verbose)
      std::fprintf(stderr, "%s: device destroyed%s\n", run.name, willReturn ? ", will return" : "");
  };
  callbacks.onNote = [&run](const std::string& text) {
    if (run.args.verbose) std::fprintf(stderr, "%s: %s\n", run.name, text.c_str());
  };
  callbacks.onError = [&run](const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", run.name, text.c_str());
  };
  return callbacks;
}

}  // namespace

int RunDeviceProgram(int argc, char** argv, const DeviceProgramDescription& profileText) {
  Args args;
  if (const int rc = ParseArgs(argc, argv, profileText, args); rc != 0) return rc < 0 ? 0 : rc;

  auto parsed = ParseSimProfile(args.profileText);
  if (const auto* error = std::get_if<SimProfileError>(&parsed)) {
    std::fprintf(stderr, "%s: --simulate: %s\n", profileText.name, error->message.c_str());
    return 1;
  }
  SimProfile profile = std::get<SimProfile>(parsed);
  if (args.destroyOnEvent > 0) profile.unplugEvent = static_cast<std::uint32_t>(args.destroyOnEvent);

  TraceWriter trace;
  if (!trace.Open(args.traceFile)) {
    std::fprintf(stderr, "%s: cannot write trace file '%s': %s\n", profileText.name, args.traceFile.c_str(),
                 std::strerror(errno));
    return 1;
  }

  const int stopFd = StopSignalDescriptor();
  if (stopFd < 0) {
    std::fprintf(stderr, "%s: signalfd: %s\n", profileText.name, std::strerror(errno));
    return 2;
  }

  DeviceTiming timing;
  timing.createAfterMs = static_cast<std::uint32_t>(args.createAfter.value_or(profile.plugAfterMs));
  timing.recreateAfterMs = args.recreateAfter;
  timing.paceMs = profile.paceMs;

  Running run{profileText.name, args, profile, trace, std::make_unique<BootloaderModel>(profile)};
  int rc = 2;
  if (auto session = profileText.makeSession(profile, timing, CallbacksFor(run))) {
    rc = session->Run(stopFd);
    if (rc != 0) std::fprintf(stderr, "%s: the device interface failed\n", run.name);
  }
  trace.Catch(*run.model);
  if (!args.readyFile.empty()) std::remove(args.readyFile.c_str());
  ::close(stopFd);
  return rc;
}

}  // namespace quorvel::sim
