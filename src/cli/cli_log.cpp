// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "cli/cli_frontend.h"
#include "cli/cli_options.h"
#include "io/display_text.h"
#include "io/retry_eintr.h"

namespace quorvel::cli {

std::string LogTimestamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char date[32];
  char zone[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);
  char text[64];
  std::snprintf(text, sizeof text, "%s.%03ld%s", date, now.tv_nsec / 1000000L, zone);
  return text;
}

CliLog::CliLog(std::string path, io::FileSys& sys) : path_(std::move(path)), sys_(sys) {}

CliLog::~CliLog() {
  if (fd_ >= 0) sys_.Close(fd_);
}

bool CliLog::Open() {
  // O_NONBLOCK: a FIFO named as the log must not hang the open; it is refused below.
  fd_ = io::RetryEintr([&] {
    return sys_.Open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  });
  if (fd_ < 0) {
    err_ = errno != 0 ? errno : EIO;
    return false;
  }
  struct stat st {};
  if (sys_.Fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    notRegular_ = true;
    err_ = EINVAL;
    sys_.Close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

std::string CliLog::ErrorText() const {
  if (notRegular_) return "not a regular file";
  return io::ErrorText(err_);
}

void CliLog::Line(std::string_view text) { LineAt(LogTimestamp(), text); }

void CliLog::LineAt(std::string_view stamp, std::string_view text) {
  if (fd_ < 0 || err_ != 0) return;
  std::string line(stamp);
  line += ' ';
  if (!board_.empty()) line += "[" + board_ + "] ";
  for (const char c : text) line += c == '\n' || c == '\r' ? ' ' : c;
  line += '\n';
  std::size_t at = 0;
  while (at < line.size()) {
    const ssize_t n = io::RetryEintr([&] { return sys_.Write(fd_, line.data() + at, line.size() - at); });
    if (n <= 0) {
      err_ = n < 0 && errno != 0 ? errno : EIO;
      return;
    }
    at += static_cast<std::size_t>(n);
  }
}

int ExitAfterOutputs(int exitCode, CliFrontend& ui) {
  const CliLog* log = ui.Log();
  ui.SetLog(nullptr);
  // A production record with lines missing, or results that went nowhere: a
  // script must not take the run for a success.
  if (log != nullptr && log->Failed()) {
    ui.Error(QStringLiteral("cannot append to the log file '%1': %2.")
                 .arg(QString::fromStdString(io::PrintableText(log->Path())),
                      QString::fromStdString(log->ErrorText())));
    if (exitCode == ExitSuccess) exitCode = ExitOutput;
  }
  if (ui.OutputError() != 0) {
    ui.ReportOutputError();
    if (exitCode == ExitSuccess) exitCode = ExitOutput;
  }
  return exitCode;
}

}  // namespace quorvel::cli
