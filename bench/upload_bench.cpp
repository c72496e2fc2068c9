// SPDX-License-Identifier: Apache-2.0
// Whole-upload cost: a 256 KiB ARM image (erase block 1024, write block 64)
// through the engine, the device objects and the simulated bootloader.
//
// With the simulator pacing 1 ms per report in each direction, the protocol's
// floor is (output reports + input reports) x 1 ms: every chunk waits for its
// acknowledgement before the next is staged. The benchmark reports the wall
// time against that floor and the CPU the process spent meanwhile (uploader
// and simulator threads together). With pace 0 it reports the throughput of
// the whole stack.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <thread>
#include <functional>
#include <string>
#include <variant>

#include "engine/engine_probe.h"
#include "sim/sim_platform.h"

namespace {

using namespace quorvel;

class QuietFrontend : public Frontend {
 public:
  void HistoryAppended(const QString&) override {}
  bool AskYesNo(const QString&) override { return true; }
  void ShowMessage(MessageKind, const QString&, const QString&) override {}
  void ShowTaskDialog(const TTaskDialogTexts&) override {}
};

bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

constexpr std::uint32_t kImageBytes = 256 * 1024;

// What one paced report really costs on this machine: the simulator paces
// with a sleep, which overshoots by the scheduler's slack.
double MeasuredPaceMs(std::uint32_t pace) {
  if (pace == 0) return 0;
  QElapsedTimer clock;
  clock.start();
  constexpr int kSamples = 300;
  for (int i = 0; i < kSamples; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
  return static_cast<double>(clock.nsecsElapsed()) / 1e6 / kSamples;
}

void BM_UploadArm256KiB(benchmark::State& state) {
  const auto pace = static_cast<std::uint32_t>(state.range(0));
  const std::string profile = "family=ARM,size=0x48000,boot-start=0x44000,erase=1024,write=64,pace=" + std::to_string(pace);

  double wallMs = 0, floorMs = 0, cpuS = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto parsed = sim::ParseSimProfile(profile);
    if (std::holds_alternative<sim::SimProfileError>(parsed)) {
      state.SkipWithError("bad simulator profile");
      return;
    }
    sim::SimHidPlatform platform;
    QuietFrontend ui;
    Engine engine(platform, ui);
    EngineProbe probe(engine);
    Link& link = probe.LinkPart();
    engine.Start({});
    RunUntil([&] { return link.DeviceChangesHandled() >= 1 && !link.Busy(); }, 5000);
    const int handled = link.DeviceChangesHandled();
    const int id = platform.PlugBootloader(std::get<sim::SimProfile>(parsed));
    RunUntil([&] { return link.DeviceChangesHandled() > handled && !link.Busy(); }, 5000);
    engine.Connect();
    if (!link.IsConnected()) {
      state.SkipWithError("could not connect to the simulated bootloader");
      return;
    }
    // The image is put in place as a load would leave it.
    THexImages& images = probe.RunPart().Images();
    images.FlashImage.resize(kImageBytes);
    for (std::uint32_t i = 0; i < kImageBytes; ++i) images.FlashImage[i] = static_cast<std::uint8_t>(i * 7 + 3);
    images.HexLoaded = true;
    images.HexMcuType = link.Record().McuType;
    const std::size_t reportsBefore = platform.OutputReportCount(id);
    state.ResumeTiming();

    const double cpuBefore = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const UploadOutcome outcome = engine.Upload({});
    wallMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    cpuS = CpuSeconds() - cpuBefore;

    state.PauseTiming();
    if (outcome.result != UploadResult::Succeeded) {
      state.SkipWithError("upload did not complete");
      return;
    }
    // Every chunk and every Erase is answered by one input report; the
    // closing Reboot is the one report not waited for.
    const std::string trace = platform.TraceText(id);
    std::size_t answers = 0;
    for (const char* kind : {"\nDATA ", "\nERASE "}) {
      for (std::size_t at = trace.find(kind); at != std::string::npos; at = trace.find(kind, at + 1)) ++answers;
    }
    const std::size_t outputs = platform.OutputReportCount(id) - reportsBefore - 1;
    floorMs = static_cast<double>((outputs + answers) * pace);
    state.counters["paced_floor_ms"] = static_cast<double>(outputs + answers) * MeasuredPaceMs(pace);
    state.counters["output_reports"] = static_cast<double>(outputs);
    state.counters["answers"] = static_cast<double>(answers);
    state.ResumeTiming();
  }
  state.counters["wall_ms"] = wallMs;
  state.counters["cpu_ms"] = cpuS * 1000;
  state.counters["cpu_percent_of_core"] = wallMs > 0 ? 100.0 * cpuS * 1000 / wallMs : 0;
  if (pace > 0) {
    state.counters["floor_ms"] = floorMs;
    state.counters["over_floor_percent"] = floorMs > 0 ? 100.0 * (wallMs - floorMs) / floorMs : 0;
    const double paced = state.counters["paced_floor_ms"];
    state.counters["over_paced_floor_percent"] = paced > 0 ? 100.0 * (wallMs - paced) / paced : 0;
  } else {
    state.counters["MiB_per_s"] = wallMs > 0 ? (kImageBytes / 1048576.0) / (wallMs / 1000) : 0;
  }
}
BENCHMARK(BM_UploadArm256KiB)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
