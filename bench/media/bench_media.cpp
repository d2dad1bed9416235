// Decoding a 4-minute stereo track in process against running the ffmpeg
// program on the same file, the loudness normaliser on 4 minutes of audio, and
// whole loads through the load ladder up to the installed track: from the
// player cache (".pcm48k" with its side file), from a local MP3, and from a
// fetched source file, each with the peak memory it took; and the player
// cache's write of a 3-minute track's ".pcm48k". The files are made once per
// run with ffmpeg in a temporary folder, which is also HOME.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/process_runner.h"
#include "media/analysis_meta.h"
#include "media/ffmpeg_decode.h"
#include "media/file_io.h"
#include "media/inprocess_decoder.h"
#include "media/loudness.h"
#include "media/pcm_cache_writer.h"
#include "media/player_cache.h"
#include "media/player_load.h"

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
    // The player cache of the loads lives here too.
    ::setenv("HOME", d->c_str(), 1);
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

// The ffmpeg program alone decoding the file, its output read and dropped.
void BM_Mp3FfmpegProgramAlone(benchmark::State& state) {
  const fs::path& file = mp3_file();
  for (auto _ : state) {
    melodara::RunOptions options;
    options.capture_stderr = false;
    options.stdout_sink = [](std::span<const std::uint8_t>) { return true; };
    const auto run = melodara::run_process(melodara::ffmpeg_decode_command("file:" + file.string()), options);
    if (!run || !melodara::exited_ok(run->status)) state.SkipWithError("ffmpeg failed");
  }
}

std::uint64_t status_bytes(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::strlen(field))) * 1024;
  }
  return 0;
}

// Loads `source` through the ladder with the player's progress sink and
// installs the track as a load does, under the state lock. Reports the peak
// resident growth of a load (the previous track is let go first) beside the
// sizes of the track and of the compressed source.
void load_and_install(benchmark::State& state, const std::string& source, std::uint64_t source_bytes,
                      const std::function<void()>& before_each = {}) {
  auto shared = std::make_shared<melodara::Mutex<melodara::NativeState>>();
  double peak = 0.0;
  double track = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    if (before_each) before_each();
    {
      auto g = shared->lock();
      g->player.samples = std::make_shared<const std::vector<float>>();
    }
    if (const auto pcm = melodara::pcm_cache_path(source)) melodara::wait_for_pending_writes(*pcm);
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = static_cast<double>(status_bytes("VmRSS:"));
    state.ResumeTiming();

    std::uint64_t generation = 0;
    melodara::GenerationWatch watch;
    {
      auto g = shared->lock();
      generation = melodara::bump_media_generation(g->player);
      watch = g->player.generationCopy;
    }
    auto media = melodara::load_media_source_with_player_progress(source, shared, generation, watch);
    if (!media) {
      state.SkipWithError(media.error().c_str());
      break;
    }
    {
      auto g = shared->lock();
      g->player.samples = media->samples;
      g->player.durationSeconds = media->duration_seconds;
      g->player.position = 0;
      melodara::bump(g->player.trackSerial);
      g->player.loadProgress = 100;
    }

    state.PauseTiming();
    track = static_cast<double>(media->samples->size() * sizeof(float));
    media->samples.reset();
    if (const auto pcm = melodara::pcm_cache_path(source)) melodara::wait_for_pending_writes(*pcm);
    peak = std::max(peak, static_cast<double>(status_bytes("VmHWM:")) - before);
    state.ResumeTiming();
  }
  state.counters["peak_MB"] = peak / 1e6;
  state.counters["track_MB"] = track / 1e6;
  state.counters["source_MB"] = static_cast<double>(source_bytes) / 1e6;
}

// A 4-minute track already in the player cache: its ".pcm48k" and side file.
void BM_CachedLoad(benchmark::State& state) {
  const std::string source = (bench_dir() / "cached-track.mp3").string();
  const auto decoded = melodara::decode_source_ffmpeg(mp3_file().string());
  if (!decoded) {
    state.SkipWithError("decode failed");
    return;
  }
  melodara::write_pcm_cache(*melodara::pcm_cache_path(source), *decoded->samples);
  melodara::write_analysis_meta(source, std::string("Am"), true, 96.0f);
  load_and_install(state, source, 0);
}

// A local 4-minute MP3: decoded by the ffmpeg program.
void BM_LocalMp3Load(benchmark::State& state) {
  load_and_install(state, mp3_file().string(), fs::file_size(mp3_file()));
}

// A fetched source file of a web source (".audio"), decoded from memory; the
// player cache files it writes are removed before each load.
void BM_FetchedSourceLoad(benchmark::State& state) {
  const std::string source = "https://media.example.com/track.mp3";
  fs::copy_file(mp3_file(), *melodara::audio_cache_path(source), fs::copy_options::overwrite_existing);
  load_and_install(state, source, fs::file_size(mp3_file()), [&source] {
    std::error_code ec;
    fs::remove(*melodara::pcm_cache_path(source), ec);
  });
}

// The cache write of a 3-minute stereo track (about 69 MB of floats) over the
// previous one, as a load's writer thread does it, sync to disk included.
void BM_WritePcmCacheThreeMinutes(benchmark::State& state) {
  std::vector<float> samples(2 * 48000 * 180);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(0.3 * std::sin(double(i) * 0.01));
  const fs::path path = *melodara::pcm_cache_path("https://media.example.com/three-minutes.mp3");
  for (auto _ : state) {
    if (!melodara::write_pcm_cache(path, samples)) {
      state.SkipWithError("cache write failed");
      return;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(samples.size() * sizeof(float)));
}

BENCHMARK(BM_Mp3InProcess)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Mp3FfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacInProcess)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacFfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Mp3Ratio)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AacRatio)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_NormalizeLoudness4Min)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mp3FfmpegProgramAlone)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CachedLoad)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_LocalMp3Load)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FetchedSourceLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_WritePcmCacheThreeMinutes)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

// Removes the generated files when the run ends.
struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    fs::remove_all(bench_dir(), ec);
  }
} cleanup;

}  // namespace
