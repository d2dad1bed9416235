// A take recorded by the engine on the simulated hardware, with a tone on the
// microphone and a track playing, exported as the stop does: every file holds
// exactly the samples the slot gathered, each signal lands in its stem; short
// takes are padded, the stage target writes its mix alone, and an unwritable
// mix is reported.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/stale_temps.h"
#include "core/wav_writer.h"
#include "engine/recording_export.h"
#include "engine_test_support.h"
#include "stand_in_tools.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// A fresh folder, and ffmpeg replaced by a program that fails: the share copy
// is the black-box tests' business.
class RecordingExport : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "melodara-export-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    setenv("MELODARA_FFMPEG_PATH", "/bin/false", 1);
  }
  void TearDown() override {
    unsetenv("MELODARA_FFMPEG_PATH");
    fs::remove_all(dir);
  }
  fs::path dir;
};

// The 16-bit samples after the 44-byte header.
std::vector<std::int16_t> data_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() < 44) return {};
  std::vector<std::int16_t> out((bytes.size() - 44) / 2);
  std::memcpy(out.data(), bytes.data() + 44, 2 * out.size());
  return out;
}

std::vector<float> as_float(const std::vector<std::int16_t>& data) {
  std::vector<float> out(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) out[i] = float(data[i]) / 32767.0f;
  return out;
}

// The file holds exactly the list, converted, then zeros up to `padded`.
void expect_written(const fs::path& path, const RecorderSamples& list, std::size_t padded) {
  const auto data = data_of(path);
  ASSERT_EQ(data.size(), padded) << path;
  for (std::size_t i = 0; i < padded; ++i) {
    const std::int16_t want = i < list.size() ? wav_sample_i16(list[i]) : 0;
    ASSERT_EQ(data[i], want) << path << " sample " << i;
  }
}

std::shared_ptr<std::vector<float>> stereo_sine(double frequency, double level, std::size_t frames) {
  auto t = std::make_shared<std::vector<float>>(2 * frames);
  for (std::size_t f = 0; f < frames; ++f)
    (*t)[2 * f] = (*t)[2 * f + 1] =
        float(level * std::sin(2.0 * std::numbers::pi * frequency * double(f) / 48000.0));
  return t;
}

TEST_F(RecordingExport, EngineTakeLandsInItsFilesAndStems) {
  sim::Config cfg;
  cfg.devices = {test::input_device("MacBook Pro Microphone", 1, test::sine(440, 0.2)),
                 test::output_device("MacBook Pro Speakers")};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  {
    auto g = s.state->lock();
    g->player.samples = stereo_sine(1000, 0.3, 48000 * 10);
    g->player.playing = true;
    recorder_start(g->recording, *g->recorderPool);
  }
  s.run_for(2.0);  // crosses chunk boundaries in every list

  RecorderTake take;
  {
    auto g = s.state->lock();
    ASSERT_TRUE(recorder_take_out(g->recording, *g->recorderPool, take));
    EXPECT_FALSE(g->recording.active);
    EXPECT_TRUE(g->recording.mix.empty());
  }
  const std::size_t n = take.mix.size();
  ASSERT_GT(n, 2 * kRecorderChunkSamples);
  ASSERT_EQ(take.beat.size(), n);

  const RecordingPaths paths = recording_paths(dir, RecorderTarget::diagnostic);
  const RecordingExportResult done = export_recording_files({RecorderTarget::diagnostic, paths, &take, {}});
  EXPECT_FALSE(done.mix_error);
  EXPECT_TRUE(done.vocal_written && done.dry_written && done.beat_written);
  EXPECT_FALSE(done.share_made);
  EXPECT_FALSE(fs::exists(paths.share));
  expect_written(paths.mix, take.mix, n);
  expect_written(paths.vocal, take.vocal, n);
  expect_written(paths.dry, take.dryMic, n);
  expect_written(paths.beat, take.beat, n);

  // The voice in the mix, the vocal and the dry stems; the track in the mix
  // and the beat stem only.
  const std::size_t frames = 48000, first = n / 2 - frames;
  struct Case {
    const fs::path& path;
    bool voice, track;
  } cases[] = {{paths.mix, true, true},
               {paths.vocal, true, false},
               {paths.dry, true, false},
               {paths.beat, false, true}};
  for (const auto& c : cases) {
    const auto x = as_float(data_of(c.path));
    const float voice = test::tone_amplitude(x, first, frames, 440.0);
    const float track = test::tone_amplitude(x, first, frames, 1000.0);
    EXPECT_EQ(voice > 0.02f, c.voice) << c.path << " 440 Hz at " << voice;
    EXPECT_EQ(track > 0.02f, c.track) << c.path << " 1 kHz at " << track;
    if (!c.voice) {
      EXPECT_LT(voice, 0.001f) << c.path;
    }
    // The processed voice carries the track's share of the reverb send (at most
    // 0.085 of it, then filtered and reverberated); the dry microphone none.
    if (!c.track) {
      EXPECT_LT(track, c.path == paths.vocal ? 0.01f : 0.001f) << c.path;
    }
  }
  recorder_release(take, *s.state->lock()->recorderPool);
}

TEST_F(RecordingExport, ShortTakesArePaddedAndTheStageWritesItsMixAlone) {
  RecorderPool pool(4);
  pool.prime();
  RecorderTake take;
  const std::vector<float> half(1000, 0.5f);
  ASSERT_TRUE(take.mix.append(half, pool));

  const RecordingPaths stage = recording_paths(dir, RecorderTarget::stage);
  EXPECT_EQ(stage.mix, dir / "Melodara_Stage_Mix_48kHz.wav");
  EXPECT_EQ(stage.share, dir / "Melodara_Stage_Share.m4a");
  const RecordingExportResult done = export_recording_files({RecorderTarget::stage, stage, &take, {}});
  EXPECT_FALSE(done.mix_error);
  EXPECT_FALSE(done.vocal_written || done.dry_written || done.beat_written);
  expect_written(stage.mix, take.mix, kRecordingMinSamples);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  // An empty diagnostic take: four files of 0.05 s of silence.
  RecorderTake empty;
  const RecordingPaths diag = recording_paths(dir, RecorderTarget::diagnostic);
  EXPECT_EQ(diag.mix, dir / "Melodara_BanThu_48kHz.wav");
  EXPECT_EQ(diag.share, dir / "Melodara_BanThu_Share.m4a");
  const RecordingExportResult silent = export_recording_files({RecorderTarget::diagnostic, diag, &empty, {}});
  EXPECT_FALSE(silent.mix_error);
  for (const auto* path : {&diag.mix, &diag.vocal, &diag.dry, &diag.beat}) {
    EXPECT_EQ(fs::file_size(*path), 44u + 2 * kRecordingMinSamples) << *path;
    expect_written(*path, empty.mix, kRecordingMinSamples);
  }
  EXPECT_EQ(recording_padded_size(take.mix), kRecordingMinSamples);
  recorder_release(take, pool);
}

TEST_F(RecordingExport, UnwritableMixIsReportedAndMakesNoShareCopy) {
  const RecordingPaths paths = recording_paths(dir, RecorderTarget::diagnostic);
  fs::create_directory(paths.mix);
  fs::create_directory(paths.beat);
  setenv("MELODARA_FFMPEG_PATH", "/bin/true", 1);  // would "succeed" if it ran
  RecorderTake take;
  const RecordingExportResult done = export_recording_files({RecorderTarget::diagnostic, paths, &take, {}});
  ASSERT_TRUE(done.mix_error);
  EXPECT_EQ(*done.mix_error, "Không thể tạo file WAV " + paths.mix.string() + ": Is a directory");
  EXPECT_FALSE(done.share_made);
  EXPECT_TRUE(done.vocal_written && done.dry_written);
  EXPECT_FALSE(done.beat_written);
}

// A stand-in ffmpeg that logs its arguments and writes `bytes` bytes to its
// last argument, then exits with `status`.
fs::path stand_in_ffmpeg(const fs::path& dir, std::size_t bytes, int status) {
  const fs::path script = dir / ("ffmpeg-" + std::to_string(bytes) + "-" + std::to_string(status));
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >> \"" << (dir / "ffmpeg.log").string()
                        << "\"\nfor last; do :; done\nhead -c " << bytes << " /dev/zero > \"$last\"\nexit "
                        << status << "\n";
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

std::string text_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A 0.1 s take of the stage target, exported into a folder of its own.
struct StageTake {
  explicit StageTake(const fs::path& dir) {
    fs::create_directory(out = dir / "out");
    paths = recording_paths(out, RecorderTarget::stage);
    pool.prime();
    appended = take.mix.append(std::vector<float>(9600, 0.25f), pool);
  }
  ~StageTake() { recorder_release(take, pool); }
  StageTake(const StageTake&) = delete;
  StageTake& operator=(const StageTake&) = delete;

  fs::path out;
  RecordingPaths paths;
  RecorderPool pool{4};
  RecorderTake take;
  bool appended = false;
};

// Guards the share copy: ffmpeg's exit status alone once let a torn file
// replace the previous copy and be answered.
TEST_F(RecordingExport, ShareCopyReplacesThePreviousOnlyWhenItPassesTheCheck) {
  StageTake stage(dir);
  ASSERT_TRUE(stage.appended);
  const fs::path& out = stage.out;
  const RecordingPaths& paths = stage.paths;
  RecorderTake& take = stage.take;

  struct Case {
    std::size_t bytes;
    int status;
    bool passes, made;
  } cases[] = {
      {4096, 0, true, true},
      {4096, 0, false, false},  // ffmpeg says done, the demuxer disagrees
      {4096, 1, true, false},
      {256, 0, true, false},  // too small to be a copy
  };
  for (const Case& c : cases) {
    const std::string previous = "the previous share copy";
    std::ofstream(paths.share, std::ios::binary) << previous;
    fs::remove(dir / "ffmpeg.log");
    setenv("MELODARA_FFMPEG_PATH", stand_in_ffmpeg(dir, c.bytes, c.status).c_str(), 1);
    std::vector<std::pair<fs::path, double>> checked;
    auto check = [&](const fs::path& file, double seconds) {
      checked.emplace_back(file, seconds);
      EXPECT_EQ(fs::file_size(file), c.bytes);
      return c.passes;
    };
    const RecordingExportResult done = export_recording_files({RecorderTarget::stage, paths, &take, check});
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes, status " << c.status << ", passes " << c.passes);
    EXPECT_FALSE(done.mix_error);
    EXPECT_EQ(done.share_made, c.made);
    EXPECT_EQ(text_of(paths.share), c.made ? std::string(c.bytes, '\0') : previous);
    // Only the two files: no temporary stays behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);

    const auto calls = test::read_tool_log(dir / "ffmpeg.log");
    ASSERT_EQ(calls.size(), 1u);
    const std::string temp = calls[0].back();
    EXPECT_TRUE(temp.starts_with(paths.share.string() + ".tmp-")) << temp;
    const test::ToolCall expected{
        "-y",   "-v",        "error",      "-threads", "0",   "-i", paths.mix.string(), "-c:a", "aac", "-b:a",
        "192k", "-movflags", "+faststart", "-f",       "mp4", temp};
    EXPECT_EQ(calls[0], expected);
    if (c.status == 0 && c.bytes > 256) {
      ASSERT_EQ(checked.size(), 1u);
      EXPECT_EQ(checked[0].first, temp);
      EXPECT_DOUBLE_EQ(checked[0].second, 0.1);
    } else {
      EXPECT_TRUE(checked.empty());
    }
  }
}

// Loss guarded against: ffmpeg's "-y" overwrote a file of another process that
// held the share copy's temporary name, and the writer then removed it.
TEST_F(RecordingExport, ShareCopyNeverWritesOverAnotherFileOfItsTemporaryName) {
  StageTake stage(dir);
  ASSERT_TRUE(stage.appended);
  const fs::path& out = stage.out;
  const RecordingPaths& paths = stage.paths;
  RecorderTake& take = stage.take;
  setenv("MELODARA_FFMPEG_PATH", stand_in_ffmpeg(dir, 4096, 0).c_str(), 1);
  // The mix's writer takes the next number (under its own name), the share copy the later ones.
  const std::string theirs = "a former process's file";
  const auto taken = test::take_next_temp_names(temp_path_beside(paths.share), 4, theirs);
  const RecordingExportResult done = export_recording_files(
      {RecorderTarget::stage, paths, &take, [](const fs::path&, double) { return true; }});
  EXPECT_FALSE(done.mix_error);
  EXPECT_TRUE(done.share_made);
  EXPECT_EQ(text_of(paths.share), std::string(4096, '\0'));
  for (const fs::path& t : taken) EXPECT_EQ(text_of(t), theirs) << t;
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2 + 4);
}

// Our own pid's count as ended: at start-up they are a former process's.
TEST(RecordingExportTemporaries, OnlyExportTemporariesOfEndedWritersAreRemoved) {
  const pid_t ended = test::ended_pid();
  ASSERT_GT(ended, 0);
  const test::RunningChild running;
  ASSERT_GT(running.pid, 0);
  const std::string dead = std::to_string(ended), alive = std::to_string(running.pid);
  const std::string own = std::to_string(getpid());

  test::TempDir dir;
  const std::vector<std::string> removed = {
      "Melodara_BanThu_48kHz.wav.tmp-" + dead + "-0", "Melodara_BanThu_Share.m4a.tmp-" + dead + "-1",
      "Melodara_Vocal_48kHz.wav.tmp-" + dead + "-2",  "Melodara_DryMic_48kHz.wav.tmp-" + dead + "-3",
      "Melodara_Beat_48kHz.wav.tmp-" + dead + "-4",   "Melodara_Stage_Mix_48kHz.wav.tmp-" + dead + "-5",
      "Melodara_Stage_Share.m4a.tmp-" + dead + "-6",  "Melodara_BanThu_48kHz.wav.tmp-" + own + "-0"};
  const std::vector<std::string> kept = {
      "Melodara_BanThu_48kHz.wav",
      "Melodara_BanThu_48kHz.wav.tmp-" + alive + "-7",  // still being written
      "song.mp3.tmp-" + dead + "-0",                    // not ours
      "My Melodara_Beat_48kHz.wav.tmp-" + dead + "-0",
      "Melodara_Beat_48kHz.wav.tmp-" + dead + "-0.tmp-" + dead + "-1",
      "Melodara_Beat_48kHz.wav.tmp-" + dead,
      "Melodara_Beat_48kHz.wav.part.tmp-" + dead + "-0"};
  for (const auto* names : {&removed, &kept})
    for (const std::string& name : *names) std::ofstream(dir / name) << "x";
  EXPECT_EQ(remove_stale_export_temporaries(dir.path()), removed.size());
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  std::vector<std::string> want = kept;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(left, want);
}

TEST(RecorderSlot, TakeOutPutBackAndNothingToDo) {
  RecorderPool pool(4);
  RecorderSlot slot;
  RecorderTake take;
  // Never started in this process: nothing to export, whatever the folder holds.
  EXPECT_FALSE(recorder_take_out(slot, pool, take));

  recorder_start(slot, pool);
  EXPECT_EQ(slot.take, 1u);
  const std::vector<float> x(300, 0.25f);
  ASSERT_TRUE(slot.mix.append(x, pool));
  slot.durationSec = 0.5f;
  ASSERT_TRUE(recorder_take_out(slot, pool, take));
  EXPECT_FALSE(slot.active);
  EXPECT_EQ(take.mix.size(), 300u);
  EXPECT_EQ(take.take, 1u);
  EXPECT_EQ(slot.mix.chunk_count(), 0u);  // moved, not copied

  // A failed export goes back and is exported by the next stop.
  EXPECT_TRUE(recorder_put_back(slot, take));
  EXPECT_EQ(slot.mix.size(), 300u);
  EXPECT_EQ(slot.durationSec, 0.5f);
  RecorderTake again;
  ASSERT_TRUE(recorder_take_out(slot, pool, again));
  EXPECT_EQ(again.mix.size(), 300u);

  // Not over a newer take.
  recorder_start(slot, pool);
  EXPECT_FALSE(recorder_put_back(slot, again));
  EXPECT_EQ(again.mix.size(), 300u);
  EXPECT_TRUE(slot.mix.empty());
  EXPECT_TRUE(slot.active);

  // After an export, an idle slot with no samples has nothing to do; a stop
  // right after a start exports the empty take.
  RecorderTake empty;
  ASSERT_TRUE(recorder_take_out(slot, pool, empty));
  slot.savedPath = "exported";
  EXPECT_FALSE(recorder_take_out(slot, pool, empty));
  recorder_release(again, pool);
}

}  // namespace
}  // namespace melodara
