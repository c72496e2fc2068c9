// SPDX-License-Identifier: Apache-2.0
// Loading a 12 MB HEX file (4 MiB of STM32 flash, 16-byte records, CR LF) with our loader and with
// `objcopy -I ihex -O binary`, in the same run; prints the ratio of the two wall times.
//
//   hex_load_bench [benchmark flags]        run both benchmarks and print the ratio
//   hex_load_bench --load-once FILE         load FILE once and print the peak resident set size
//   hex_load_bench --write-hex FILE         only write the 12 MB HEX file (for end-to-end runs)
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "image/hex_loader.h"
#include "core/families.h"
#include "support/hex_writer.h"

extern char** environ;

namespace {

constexpr std::size_t kImageBytes = 4u << 20;
std::filesystem::path gDir;
std::string gHexPath;
std::string gBinPath;

quorvel::TBootInfo Stm32Info() {
  quorvel::TBootInfo info;
  info.McuType = quorvel::mcu::STM32F4XX;
  info.BootRevision = 0x1200;
  info.McuSize = kImageBytes;
  return info;
}

void WriteTestFile() {
  std::vector<std::uint8_t> data(kImageBytes);
  std::mt19937 rng(42);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::string text = quorvel::testhex::Make({{0x08000000u, std::move(data)}});
  std::ofstream(gHexPath, std::ios::binary) << text;
}

long PeakRssKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_QuorvelLoadHexFile(benchmark::State& state) {
  const quorvel::TBootInfo info = Stm32Info();
  for (auto _ : state) {
    quorvel::THexImages images;
    const auto result = quorvel::LoadHexFile(gHexPath, info, images);
    if (result.status != quorvel::HexLoadStatus::Loaded || images.FlashImage.size() != kImageBytes) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(images.FlashImage.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::filesystem::file_size(gHexPath)));
}
BENCHMARK(BM_QuorvelLoadHexFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

void BM_Objcopy(benchmark::State& state) {
  std::string a0 = "objcopy", a1 = "-I", a2 = "ihex", a3 = "-O", a4 = "binary";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), gHexPath.data(), gBinPath.data(), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, "objcopy", nullptr, nullptr, argv, environ) != 0 || ::waitpid(pid, &status, 0) != pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("objcopy failed");
      break;
    }
  }
}
BENCHMARK(BM_Objcopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// Console output as usual, plus the mean wall time per benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
        seconds[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

int LoadOnce(const char* path) {
  const long before = PeakRssKb();
  quorvel::THexImages images;
  const auto result = quorvel::LoadHexFile(path, Stm32Info(), images);
  const long after = PeakRssKb();
  std::printf("status %d, image %zu bytes, file %ju bytes\n", static_cast<int>(result.status),
              images.FlashImage.size(), static_cast<std::uintmax_t>(std::filesystem::file_size(path)));
  std::printf("peak RSS before load %ld KiB, after load %ld KiB, load added %ld KiB\n", before, after, after - before);
  return result.status == quorvel::HexLoadStatus::Loaded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--load-once") == 0) return LoadOnce(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--write-hex") == 0) {
    gHexPath = argv[2];
    WriteTestFile();
    return 0;
  }

  gDir = std::filesystem::temp_directory_path() / ("quorvel-hex-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(gDir);
  gHexPath = (gDir / "stm32-4mib.hex").string();
  gBinPath = (gDir / "stm32-4mib.bin").string();
  WriteTestFile();
  std::printf("input: %s, %ju bytes\n", gHexPath.c_str(),
              static_cast<std::uintmax_t>(std::filesystem::file_size(gHexPath)));

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto ours = reporter.seconds.find("BM_QuorvelLoadHexFile");
  const auto theirs = reporter.seconds.find("BM_Objcopy");
  if (ours != reporter.seconds.end() && theirs != reporter.seconds.end() && theirs->second > 0) {
    std::printf("\nLoadHexFile %.1f ms, objcopy %.1f ms, ratio %.2f (target <= 0.50)\n", ours->second * 1e3,
                theirs->second * 1e3, ours->second / theirs->second);
  }
  if (std::getenv("QUORVEL_BENCH_KEEP") == nullptr) {
    std::filesystem::remove_all(gDir);
  } else {
    std::printf("kept %s\n", gHexPath.c_str());
  }
  return 0;
}
