// SPDX-License-Identifier: Apache-2.0
// Waits on the HID link.
//
// BM_IdleWaitResponse: CPU cost of waiting for a device that does not answer,
// a 1-second WaitResponse against a silent simulated bootloader. The wait
// sleeps on the event loop between its tests, so it should cost next to
// nothing; a wait that polled without blocking would burn a whole core.
//
// BM_ReaderStop: how long a device object's reader takes to stop, detaching
// the data handler of a checked-out simulated bootloader that sends nothing,
// so the reader is waiting for a report when it is told to end. Every device
// change and every exit pays this once per reader.
#include <benchmark/benchmark.h>
#include <time.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>

#include "engine/engine_probe.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "core/families.h"
#include "protocol/frames.h"
#include "sim/sim_platform.h"

namespace {

class QuietFrontend : public quorvel::Frontend {
 public:
  void HistoryAppended(const QString&) override {}
  bool AskYesNo(const QString&) override { return false; }
  void ShowMessage(quorvel::MessageKind, const QString&, const QString&) override {}
  void ShowTaskDialog(const quorvel::TTaskDialogTexts&) override {}
};

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void RunEventsUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) {
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

void BM_IdleWaitResponse(benchmark::State& state) {
  quorvel::sim::SimHidPlatform platform;
  QuietFrontend frontend;
  auto engine = std::make_unique<quorvel::Engine>(platform, frontend);
  quorvel::Link& link = quorvel::EngineProbe(*engine).LinkPart();
  engine->Start({});
  quorvel::sim::SimProfile profile;
  quorvel::sim::DefaultProfile(quorvel::mcu::PIC18, profile);
  platform.PlugBootloader(profile);
  RunEventsUntil([&] { return link.Active() != nullptr && !link.Busy(); }, 5000);
  if (link.Active() == nullptr) {
    state.SkipWithError("simulated bootloader was not opened");
    return;
  }

  const int waitMs = static_cast<int>(state.range(0));
  double process = 0;
  double uiThread = 0;
  double wall = 0;
  for (auto _ : state) {
    const double p0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    QElapsedTimer clock;
    clock.start();
    // Nothing was sent, so nothing answers: the wait ends by its time-out.
    const int result = link.WaitResponse(quorvel::Sync, waitMs);
    wall += static_cast<double>(clock.nsecsElapsed()) * 1e-9;
    uiThread += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
    process += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
    if (result != quorvel::WaitTimedOut) state.SkipWithError("wait did not time out");
  }
  state.counters["process_cpu_ms_per_s"] = process * 1000.0 / wall;
  state.counters["ui_thread_cpu_ms_per_s"] = uiThread * 1000.0 / wall;
}
BENCHMARK(BM_IdleWaitResponse)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

using quorvel::hid::THidDataEvent;
using quorvel::hid::THidDevice;
using quorvel::hid::THidDeviceController;

void BM_ReaderStop(benchmark::State& state) {
  quorvel::sim::SimHidPlatform platform;
  quorvel::sim::SimProfile profile;
  quorvel::sim::DefaultProfile(quorvel::mcu::PIC18, profile);
  platform.PlugBootloader(profile);
  THidDeviceController ctl(platform);
  QElapsedTimer clock;
  clock.start();
  while (ctl.Count() == 0 && clock.elapsed() < 5000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  THidDevice* dev = nullptr;
  if (!ctl.CheckOutByIndex(dev, 0)) {
    state.SkipWithError("simulated bootloader was not listed");
    return;
  }
  const THidDataEvent handler{[](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}, 1};
  for (auto _ : state) {
    state.PauseTiming();
    dev->SetDataHandler(handler);
    // Let the reader settle into its wait for a report.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 20) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    state.ResumeTiming();
    dev->SetDataHandler({});
  }
  delete dev;
}
BENCHMARK(BM_ReaderStop)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
