// SPDX-License-Identifier: Apache-2.0
// quorvel-cli: the command-line front end of the uploader.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/cli_options.h"
#include "cli/command.h"

namespace {

// Ctrl-C, SIGTERM and SIGHUP end a run cleanly (see Command::Interrupt).
// The handler only writes to a pipe that the event loop watches.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
  const int savedErrno = errno;
  const auto byte = static_cast<char>(signo);
  const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);  // a full pipe has enough news already
  (void)ignored;
  errno = savedErrno;
}

// Diagnostic for benches (docs/testing.md): a short timer on this thread
// whose longest gap tells how long the event loop was kept from running.
class LoopStallProbe {
 public:
  LoopStallProbe() {
    if (!qEnvironmentVariableIsSet("QUORVEL_REPORT_LOOP_STALL")) return;
    constexpr int kTickMs = 5;
    timer_.setInterval(kTickMs);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { longestGapMs_ = std::max(longestGapMs_, sinceTick_.restart() - kTickMs); });
    sinceTick_.start();
    timer_.start();
  }
  ~LoopStallProbe() {
    if (timer_.isActive())
      std::fprintf(stderr, "quorvel-cli: longest event-loop stall %lld ms\n", static_cast<long long>(longestGapMs_));
  }
  LoopStallProbe(const LoopStallProbe&) = delete;
  LoopStallProbe& operator=(const LoopStallProbe&) = delete;

 private:
  QTimer timer_;
  QElapsedTimer sinceTick_;
  qint64 longestGapMs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel::cli;
  // Caught from the first moment: a signal that comes while the run is being
  // set up waits in the pipe for the event loop.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signo);
  const bool signalsCaught =
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) == 0;
  if (signalsCaught) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signo, &action, nullptr);
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  const CliParseResult parsed = ParseCliArgs(args);
  if (!parsed.ok()) {
    std::fprintf(stderr, "quorvel-cli: %s\nTry 'quorvel-cli --help'.\n", parsed.error.c_str());
    if (parsed.options.json) {
      std::printf("%s\n", JsonObject()
                              .Add("event", "result")
                              .Add("exit", static_cast<int>(ExitUsage))
                              .Add("title", "Usage")
                              .Add("text", parsed.error)
                              .Str()
                              .c_str());
    }
    return ExitUsage;
  }
  const CliOptions& options = parsed.options;
  if (options.help) {
    std::fputs(CliHelpText(), stdout);
    return ExitSuccess;
  }
  if (options.version) {
    std::printf("%s\n", CliVersionText().c_str());
    return ExitSuccess;
  }

  // Qt needs argv for itself only; ours has been read already.
  int qtArgc = 1;
  QCoreApplication app(qtArgc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));

  CliOutputConfig config;
  config.json = options.json;
  config.quiet = options.quiet;
  config.verbose = options.verbose;
  config.yes = options.yes;
  config.progressBar = !options.json && !options.quiet && ::isatty(STDERR_FILENO) == 1;
  CliFrontend frontend(config, stdout, stderr);
  const std::unique_ptr<Command> command = MakeCommand(options, frontend);

  // A log reader that goes away (`| head`) must not kill an upload half-way:
  // writes to a closed pipe then just fail, and the run reports it at its end.
  // The same for a file size limit (ulimit -f): the write fails with EFBIG.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (signalsCaught) {
    signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&command] {
      char bytes[16];
      const ssize_t n = ::read(g_signalPipe[0], bytes, sizeof bytes);
      for (ssize_t i = 0; i < n; ++i) command->Interrupt(static_cast<unsigned char>(bytes[i]));
    });
  }
  // A child of `upload --all` starts with these blocked, so one passed on
  // early waits until here instead of killing it.
  ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  const LoopStallProbe stallProbe;
  return command->Run();
}
