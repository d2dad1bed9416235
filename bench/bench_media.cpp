// Decoding a 4-minute stereo track in process against running the ffmpeg
// program on the same file, and the loudness normaliser on 4 minutes of audio.
// The files are made once per run with ffmpeg in a temporary folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/process_runner.h"
#include "media/ffmpeg_decode.h"
#include "media/inprocess_decoder.h"
#include "media/loudness.h"

namespace {

namespace fs = std::filesystem;
using melodara::Command;

constexpr int kSeconds = 240;

const fs::path& bench_dir() {
  // Leaked on purpose: the cleanup below runs during static destruction.
  static const fs::path* dir = [] {
    auto* d =
        new fs::path(fs::temp_directory_path() / ("melodara-bench-media-" + std::to_string(::getpid())));
    fs::create_directories(*d);
    return d;
  }();
  return *dir;
}

// A 4-minute stereo file with music-like content (two tones and noise).
fs::path make_track(const std::string& name, const std::vector<std::string>& codec) {
  const fs::path out = bench_dir() / name;
  if (fs::exists(out)) return out;
  Command cmd{"ffmpeg",
              {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
               "aevalsrc=0.3*sin(2*PI*220*t)+0.1*sin(2*PI*1760*t)+0.05*(random(0)-0.5)|"
               "0.3*sin(2*PI*330*t)+0.1*sin(2*PI*2640*t)+0.05*(random(1)-0.5):s=44100:d=" +
                   std::to_string(kSeconds)}};
  cmd.args.insert(cmd.args.end(), codec.begin(), codec.end());
  cmd.args.push_back(out.string());
  melodara::run_process_plain(cmd, {std::nullopt, false, false});
  return out;
}

std::vector<std::uint8_t> read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const fs::path& mp3_file() {
  static const fs::path p = make_track("track.mp3", {"-c:a", "libmp3lame", "-b:a", "192k"});
  return p;
}
const fs::path& aac_file() {
  static const fs::path p = make_track("track.m4a", {"-c:a", "aac", "-b:a", "192k"});
  return p;
}

void decode_in_process(benchmark::State& state, const fs::path& file) {
  const auto bytes = read_all(file);
  for (auto _ : state) {
    auto media = melodara::decode_with_symphonia(bytes);
    if (!media) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(media);
  }
  state.counters["audio_x_realtime"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

void decode_with_program(benchmark::State& state, const fs::path& file) {
  for (auto _ : state) {
    auto media = melodara::decode_source_ffmpeg(file.string());
    if (!media) state.SkipWithError("ffmpeg decode failed");
    benchmark::DoNotOptimize(media);
  }
  state.counters["audio_x_realtime"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Mp3InProcess(benchmark::State& s) { decode_in_process(s, mp3_file()); }
void BM_Mp3FfmpegProgram(benchmark::State& s) { decode_with_program(s, mp3_file()); }
void BM_AacInProcess(benchmark::State& s) { decode_in_process(s, aac_file()); }
void BM_AacFfmpegProgram(benchmark::State& s) { decode_with_program(s, aac_file()); }

// Time of the in-process decode over the ffmpeg program's, measured side by side.
void decode_ratio(benchmark::State& state, const fs::path& file) {
  const auto bytes = read_all(file);
  double own = 0.0;
  double tool = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(melodara::decode_with_symphonia(bytes));
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(melodara::decode_source_ffmpeg(file.string()));
    const auto t2 = std::chrono::steady_clock::now();
    own += std::chrono::duration<double>(t1 - t0).count();
    tool += std::chrono::duration<double>(t2 - t1).count();
  }
  state.counters["in_process_over_ffmpeg"] = own / tool;
}
void BM_Mp3Ratio(benchmark::State& s) { decode_ratio(s, mp3_file()); }
void BM_AacRatio(benchmark::State& s) { decode_ratio(s, aac_file()); }

void BM_NormalizeLoudness4Min(benchmark::State& state) {
  std::vector<float> source(2 * 48000 * kSeconds);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> noise(-0.6f, 0.6f);
  for (float& s : source) s = noise(rng);  // loud: the gain pass runs
  std::vector<float> work(source.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::copy(source.begin(), source.end(), work.begin());
    state.ResumeTiming();
    melodara::normalize_loudness(work);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(work.size() * sizeof(float)));
}

BENCHMARK(BM_Mp3InProcess)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Mp3FfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacInProcess)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacFfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Mp3Ratio)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacRatio)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_NormalizeLoudness4Min)->Unit(benchmark::kMillisecond);

// Removes the generated files when the run ends.
struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    fs::remove_all(bench_dir(), ec);
  }
} cleanup;

}  // namespace
