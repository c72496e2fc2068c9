// quorvel-cli: the command-line front end of the uploader.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"

namespace {

// Ctrl-C during an upload asks the engine to stop after the current block, as
// the window's stop button does; the signal handler only writes to a pipe.
int g_signalPipe[2] = {-1, -1};

void OnInterrupt(int) {
  const char byte = 1;
  const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
  (void)ignored;
  // A second Ctrl-C ends the program at once.
  ::signal(SIGINT, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel::cli;
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
  CliRunner runner(options, frontend);

  // A log reader that goes away (`| head`) must not kill an upload half-way:
  // writes to a closed pipe then just fail.
  ::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<QSocketNotifier> interruptNotifier;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
    interruptNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(interruptNotifier.get(), &QSocketNotifier::activated, [&runner] {
      char byte = 0;
      const ssize_t ignored = ::read(g_signalPipe[0], &byte, 1);
      (void)ignored;
      // Outside an upload there is nothing to finish cleanly: end as usual.
      if (!runner.RequestStop()) {
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
      }
    });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
  }
  return runner.Run();
}
