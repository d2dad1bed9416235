// Exporting a 10-minute diagnostic take as a stop does: the mix and three stem
// WAVs, and the share copy by the real ffmpeg. Reports the wall time and the
// peak memory of the process against what the take alone holds (ffmpeg's own
// memory is the same in both variants and not counted). One export a
// process, so that each variant's peak is its own:
// bench/service/compare_recording_export.sh runs this source built from two
// commits side by side.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/recording_export.h"

// The share check came with the export's temporaries; older code has neither.
#if __has_include("core/replacing_file.h")
#include "media/inprocess_decoder.h"
#define MELODARA_BENCH_SHARE_CHECK 1
#endif

namespace melodara {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTakeSamples = 600 * 96'000;  // 10 minutes of stereo at 48 kHz

// A line of /proc/self/status in MiB ("VmRSS", "VmHWM").
double status_mib(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key + ":")) return std::stod(line.substr(key.size() + 1)) / 1024.0;
  return 0.0;
}

// Four lists of tones, every chunk resident.
void fill(RecorderSamples& list, RecorderPool& pool, double frequency) {
  std::vector<float> block(96'000);
  for (std::size_t done = 0; done < kTakeSamples; done += block.size()) {
    for (std::size_t i = 0; i < block.size(); ++i)
      block[i] = float(0.3 * std::sin(frequency * double(done + i) / 96'000.0));
    if (!list.append(block, pool)) std::abort();
  }
}

void BM_ExportTenMinuteDiagnosticTake(benchmark::State& state) {
  constexpr std::size_t kChunks = 4 * (kTakeSamples / kRecorderChunkSamples + 1);
  RecorderPool pool(kChunks);
  pool.prime();
  RecorderTake take;
  fill(take.mix, pool, 2000.0);
  fill(take.vocal, pool, 2770.0);
  fill(take.dryMic, pool, 3100.0);
  fill(take.beat, pool, 1500.0);
  const char* where = std::getenv("MELODARA_BENCH_DIR");
  const fs::path dir = fs::path(where ? where : fs::temp_directory_path().string()) / "melodara-bench-export";
  fs::create_directories(dir);

  RecordingExportJob job;
  job.target = RecorderTarget::diagnostic;
  job.paths = recording_paths(dir, RecorderTarget::diagnostic);
  job.take = &take;
#ifdef MELODARA_BENCH_SHARE_CHECK
  job.share_check = [](const fs::path& file, double seconds) {
    const auto probe = probe_audio_file(file);
    return probe && probe->audio_streams == 1 && std::abs(probe->seconds - seconds) <= 0.5;
  };
#endif
  const double take_mib = status_mib("VmRSS");
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  bool made = false;
  for (auto _ : state) {
    const RecordingExportResult done = export_recording_files(job);
    made = !done.mix_error && done.vocal_written && done.dry_written && done.beat_written && done.share_made;
  }
  const double peak_mib = status_mib("VmHWM");
  state.counters["take_MiB"] = take_mib;
  state.counters["peak_MiB"] = peak_mib;
  state.counters["added_MiB"] = peak_mib - take_mib;
  state.counters["all_written"] = made ? 1 : 0;
  recorder_release(take, pool);
  fs::remove_all(dir);
}
BENCHMARK(BM_ExportTenMinuteDiagnosticTake)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace melodara
