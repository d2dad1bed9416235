// The load ladder, rung by rung, with a stand-in yt-dlp, a logging wrapper
// around the real ffmpeg and an HTTP server on 127.0.0.1: which rung serves,
// the progress it reports, what it runs and what it leaves in the cache.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/analysis_meta.h"
#include "media/fetch_texts.h"
#include "media/file_io.h"
#include "media/load_ladder.h"
#include "media/media_cache.h"
#include "media/player_cache.h"
#include "media_test_support.h"

extern char** environ;

namespace melodara {
namespace {

using test::FakeYtdlp;
using test::ScopedEnv;
using test::TempDir;
using test::ToolBin;
namespace fs = std::filesystem;

std::vector<float> tone(double seconds, double amplitude) {
  std::vector<float> s(2 * static_cast<std::size_t>(seconds * 48000));
  for (std::size_t i = 0; i < s.size() / 2; ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    s[2 * i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 440 * t));
    s[2 * i + 1] = static_cast<float>(amplitude * std::sin(2 * M_PI * 660 * t));
  }
  return s;
}

void write_floats(const fs::path& path, const std::vector<float>& samples) {
  test::write_file(path,
                   std::span(reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size() * 4));
}

std::vector<float> read_floats(const fs::path& path) {
  const auto bytes = test::read_bytes(path);
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

// Names in the folder that are temporaries of a download or a write.
std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.find(".dl") != std::string::npos || n.find(".tmp-") != std::string::npos ||
        n.find(".part.") != std::string::npos) {
      names.push_back(n);
    }
  }
  return names;
}

// Everything the ladder reaches runs here: HOME (and so the cache folder) in a
// temporary folder, the stand-in yt-dlp, ffmpeg through a logging wrapper, and
// a local server whose "youtube.com/watch?v=" paths make page addresses that
// never leave this machine.
class LadderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready());
    cache = player_cache_dir();
    ASSERT_FALSE(
        test::make_tone_file(fixtures / "song.m4a", {"-c:a", "aac", "-b:a", "128k"}, 3.0, 0.5).empty());
    ASSERT_FALSE(test::make_clip_video(fixtures / "clip.mp4", 3.0, 0.5).empty());
    for (const char* name : {"song.m4a", "clip.mp4"}) ytdlp.put_file(name, fixtures / name);
    bin.forget_runs();  // the fixtures' own
  }

  std::expected<DecodedMedia, std::string> load(const std::string& source, const MediaLimits& limits = {}) {
    progress.clear();
    auto media = load_media_source(
        source, [this](std::uint8_t p) { progress.push_back(p); }, limits);
    if (const auto pcm = pcm_cache_path(source)) wait_for_pending_writes(*pcm);
    return media;
  }

  std::vector<std::string> ytdlp_modes() const {
    std::vector<std::string> modes;
    for (const auto& run : ytdlp.runs()) modes.push_back(FakeYtdlp::mode_of(run));
    return modes;
  }

  // Waits for the background video download that a load from the cache
  // starts to have run and ended.
  void settle_background_download() {
    EXPECT_TRUE(test::wait_until(
        [&] {
          const auto runs = ytdlp.runs();
          return std::any_of(runs.begin(), runs.end(),
                             [](const test::ToolRun& r) { return FakeYtdlp::mode_of(r) == "video"; }) &&
                 std::all_of(runs.begin(), runs.end(), [](const test::ToolRun& r) {
                   return test::process_gone(r.pid, std::chrono::milliseconds(0));
                 });
        },
        std::chrono::seconds(10)));
  }

  TempDir home;
  ScopedEnv home_env{"HOME", home.path().string()};
  TempDir fixtures;
  test::LocalHttpServer server{fixtures.path()};
  FakeYtdlp ytdlp;
  ToolBin bin;
  ScopedEnv path_env{"PATH", bin.path().string() + ":/usr/bin:/bin"};
  fs::path cache;
  std::vector<int> progress;
  const std::string page = server.url("youtube.com/watch?v=dQw4w9WgXcQ");
  const std::string id = "clip-yt-dQw4w9WgXcQ";
};

TEST_F(LadderTest, BlankMissingAndFolderSources) {
  EXPECT_EQ(load(" \t\u3000").error(), kMissingSourceMessage);
  EXPECT_TRUE(progress.empty());
  EXPECT_EQ(load((home / "missing.mp3").string()).error(), kUndecodableMessage);
  EXPECT_EQ(progress, (std::vector<int>{15, 50}));
  EXPECT_EQ(load(home.path().string()).error(), "Không đọc được file: Is a directory");
  EXPECT_EQ(progress, (std::vector<int>{15, 50}));
  EXPECT_TRUE(ytdlp.runs().empty()) << "a path is not a page address";
}

TEST_F(LadderTest, MemoryCacheHitSharesTheCachedTrack) {
  const std::string source = (fixtures / "in-memory.mp3").string();
  MediaCacheEntry entry;
  entry.media = make_decoded_media(tone(0.1, 0.2));
  entry.detected_key = "Am";
  entry.tempo_known = 1;
  entry.tempo_bpm = 118.0f;
  const SharedSamples samples = entry.media.samples;
  media_cache_put(source, std::move(entry));
  const auto media = load("  " + source);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, std::vector<int>{100});
  EXPECT_EQ(media->samples, samples) << "shared, not copied";
  EXPECT_EQ(media->detected_key, "Am");
  EXPECT_EQ(media->tempo_bpm, 118.0f);
  EXPECT_TRUE(bin.ffmpeg_runs().empty());
  EXPECT_TRUE(ytdlp.runs().empty());
}

TEST_F(LadderTest, DecodedAudioCacheWithSideFile) {
  // Normalised according to its side file: used as it is, key and tempo included.
  const std::vector<float> stored(5000, 0.2f);
  write_floats(cache / (id + ".pcm48k"), stored);
  write_analysis_meta(page, std::string("Am"), true, 120.0f);
  auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 99}));
  EXPECT_EQ(*media->samples, stored);
  EXPECT_EQ(media->detected_key, "Am");
  EXPECT_EQ(media->tempo_known, 1u);
  EXPECT_EQ(media->tempo_bpm, 120.0f);
  EXPECT_TRUE(bin.ffmpeg_runs().empty());
  settle_background_download();
  EXPECT_EQ(ytdlp_modes(), std::vector<std::string>{"video"}) << "only the background video download";

  // A side file saying "not normalised": normalised now, rewritten, and the
  // side file then says so (without key or tempo, left to the analysis).
  const std::vector<float> loud = tone(1.0, 0.5);
  write_floats(cache / (id + ".pcm48k"), loud);
  test::write_text(cache / (id + ".meta.json"),
                   R"({"detected_bpm":99,"detected_key":"C","normalized":false,"version":4})");
  media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 99}));
  EXPECT_NEAR(test::stereo_rms(*media->samples), 0.135, 0.002);
  EXPECT_FALSE(media->detected_key.has_value());
  EXPECT_EQ(media->tempo_known, 0u);
  EXPECT_EQ(read_floats(cache / (id + ".pcm48k")), *media->samples);
  const auto meta = read_analysis_meta(page);
  ASSERT_TRUE(meta.has_value());
  EXPECT_TRUE(meta->normalized);
  EXPECT_FALSE(meta->detected_key.has_value());
  settle_background_download();
}

TEST_F(LadderTest, DecodedAudioCacheNeedsMoreThan4096Bytes) {
  const std::string source = (fixtures / "absent.wav").string();
  const fs::path pcm = *pcm_cache_path(source);
  write_floats(pcm, std::vector<float>(1024, 0.1f));  // 4,096 bytes: not usable
  EXPECT_EQ(load(source).error(), kUndecodableMessage);
  EXPECT_EQ(progress, (std::vector<int>{15, 50}));
  auto bytes = test::read_bytes(pcm);
  bytes.push_back(0);  // 4,097 bytes: usable, the partial float dropped
  test::write_file(pcm, bytes);
  const auto media = load(source);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 99}));
  EXPECT_EQ(media->samples->size(), 1024u);
}

TEST_F(LadderTest, FetchedSourceFile) {
  test::write_file(cache / (id + ".audio"), test::read_bytes(fixtures / "song.m4a"));
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 75, 98}));
  EXPECT_NEAR(media->duration_seconds, 3.0, 0.05);
  EXPECT_NEAR(test::stereo_rms(*media->samples), 0.135, 0.003);
  const auto runs = bin.ffmpeg_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args,
            (std::vector<std::string>{"-v", "error", "-threads", "0", "-i", "pipe:0", "-vn", "-ac", "2",
                                      "-ar", "48000", "-f", "f32le", "-acodec", "pcm_f32le", "-"}));
  // The decoded audio is cached beside a side file that calls it normalised.
  EXPECT_EQ(read_floats(cache / (id + ".pcm48k")), *media->samples);
  const auto meta = read_analysis_meta(page);
  ASSERT_TRUE(meta.has_value());
  EXPECT_TRUE(meta->normalized);
  settle_background_download();
  EXPECT_EQ(ytdlp_modes(), std::vector<std::string>{"video"});
}

TEST_F(LadderTest, CachedClipVideo) {
  fs::copy_file(fixtures / "clip.mp4", cache / (id + ".mp4"));
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 78, 98}));
  EXPECT_NEAR(media->duration_seconds, 3.0, 0.05);
  EXPECT_TRUE(ytdlp.runs().empty());
  EXPECT_TRUE(fs::exists(cache / (id + ".pcm48k")));
}

TEST_F(LadderTest, DownloadRungTakesAudioAndVideo) {
  ytdlp.put("files.txt", "140 m4a song.m4a\n137 mp4 clip.mp4\n");
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 25, 35, 80, 95}));
  EXPECT_NEAR(media->duration_seconds, 3.0, 0.05);
  EXPECT_EQ(test::read_bytes(cache / (id + ".mp4")), test::read_bytes(fixtures / "clip.mp4"));
  EXPECT_EQ(test::read_bytes(cache / (id + ".audio")), test::read_bytes(fixtures / "song.m4a"));
  EXPECT_TRUE(leftovers(cache).empty());
  EXPECT_TRUE(read_analysis_meta(page).has_value());

  const auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 1u) << "the video came with the download";
  const std::string output_template =
      (cache / id).string() + ".dl" + std::to_string(::getpid()) + ".%(format_id)s.%(ext)s";
  EXPECT_EQ(runs[0].args,
            (std::vector<std::string>{"-4", "--socket-timeout", "10", "--no-config", "--no-playlist",
                                      "--no-part", "--concurrent-fragments", "4", "-f",
                                      std::string(kAudioSelector) + "," + std::string(kVideoSelector),
                                      "--print", "after_move:filepath", "-o", output_template, page}));
}

TEST_F(LadderTest, DownloadOfOnlyAVideoDecodesItsAudio) {
  ytdlp.put("files.txt", "18 mp4 clip.mp4\n");
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 25, 35, 80, 95}));
  EXPECT_TRUE(is_mp4_file(cache / (id + ".mp4")));
  EXPECT_FALSE(fs::exists(cache / (id + ".audio"))) << "the video is not a fetched source file";
  EXPECT_TRUE(leftovers(cache).empty());
}

TEST_F(LadderTest, DirectAddressWithRangedCurl) {
  ytdlp.put("g.txt", server.url("song.m4a") + "\n");
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 25, 35, 60, 80, 95}));
  // Download (nothing), its video download, the one after it, then -g.
  EXPECT_EQ(ytdlp_modes(), (std::vector<std::string>{"template", "video", "video", "g"}));
  const auto requests = server.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back()["path"], "/song.m4a");
  EXPECT_EQ(requests.back()["range"], "bytes=0-");
  EXPECT_EQ(requests.back()["agent"], "Mozilla/5.0 Melodara/1.0");
  EXPECT_EQ(test::read_bytes(cache / (id + ".audio")), test::read_bytes(fixtures / "song.m4a"));
  EXPECT_TRUE(leftovers(cache).empty());
}

TEST_F(LadderTest, DirectAddressFailingFallsToFfmpegThenToStdoutDownload) {
  ytdlp.put("g.txt", server.url("missing.m4a") + "\n");
  ytdlp.put_file("stdout.bin", fixtures / "song.m4a");
  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 25, 35, 60, 70, 65, 85, 95}));
  EXPECT_EQ(ytdlp_modes(), (std::vector<std::string>{"template", "video", "video", "g", "stdout"}));
  const auto runs = ytdlp.runs();
  EXPECT_EQ(runs.back().args,
            (std::vector<std::string>{"-4", "--socket-timeout", "10", "--no-config", "--no-playlist", "-f",
                                      "bestaudio[ext=m4a]/bestaudio/best", "-o", "-", page}));
  EXPECT_EQ(test::read_bytes(cache / (id + ".audio")), test::read_bytes(fixtures / "song.m4a"));
}

TEST_F(LadderTest, DirectAddressMustBeAWebAddress) {
  // An address that is an option or a file never reaches curl or ffmpeg.
  for (const std::string& printed : std::vector<std::string>{
           std::string("-o/tmp/x"), (fixtures / "song.m4a").string(), std::string("file:///etc/hostname")}) {
    ytdlp.put("g.txt", printed + "\n");
    const auto media = load(page);
    EXPECT_FALSE(media.has_value()) << printed;
    EXPECT_EQ(std::count(progress.begin(), progress.end(), 60), 0) << printed;
  }
}

TEST_F(LadderTest, WebAddressDecodedByFfmpeg) {
  const std::string address = server.url("song.m4a");
  const auto media = load(address);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 50, 95}));
  EXPECT_TRUE(ytdlp.runs().empty()) << "not a page address";
  const auto runs = bin.ffmpeg_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args[5], address);
}

TEST_F(LadderTest, LocalFileGoesToFfmpegAsAFileInput) {
  const auto media = load("  " + (fixtures / "song.m4a").string() + " ");
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(progress, (std::vector<int>{15, 50, 95}));
  const auto runs = bin.ffmpeg_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args[5], "file:" + (fixtures / "song.m4a").string());
}

TEST_F(LadderTest, WavReaderIsTheLastResort) {
  // A WAV whose format tag no decoder knows; the plain reader takes its samples.
  std::vector<std::uint8_t> wav(44);
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      wav[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto put16 = [&](std::size_t at, std::uint16_t v) {
    wav[at] = static_cast<std::uint8_t>(v);
    wav[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  std::memcpy(wav.data(), "RIFF", 4);
  std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 0x1234);
  put16(22, 2);
  put32(24, 48000);
  put32(28, 48000 * 4);
  put16(32, 4);
  put16(34, 16);
  std::memcpy(wav.data() + 36, "data", 4);
  const std::uint32_t frames = 48000;
  put32(40, frames * 4);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const auto v = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 440 * i / 48000.0));
    for (int c = 0; c < 2; ++c) {
      wav.push_back(static_cast<std::uint8_t>(v));
      wav.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
    }
  }
  put32(4, static_cast<std::uint32_t>(wav.size() - 8));
  test::write_file(fixtures / "odd.wav", wav);
  const auto media = load((fixtures / "odd.wav").string());
  ASSERT_TRUE(media.has_value()) << media.error();
  EXPECT_EQ(progress, (std::vector<int>{15, 50, 95}));
  EXPECT_EQ(media->samples->size(), 2u * frames);
  EXPECT_NEAR(test::stereo_rms(*media->samples), 0.135, 0.002);
}

TEST_F(LadderTest, HostilePrintedPathsAreLeftUntouched) {
  const std::string prefix = id + ".dl" + std::to_string(::getpid()) + ".";
  test::write_text(fixtures / "victim.txt", std::string(3000, 'v'));
  fs::copy_file(fixtures / "clip.mp4", fixtures / "victim.mp4");
  fs::create_symlink(fixtures / "victim.txt", cache / (prefix + "link.m4a"));
  const std::string other = "clip-yt-AAAAAAAAAAA.dl" + std::to_string(::getpid()) + ".140.m4a";
  fs::copy_file(fixtures / "song.m4a", cache / other);
  fs::create_directory(cache / "sub");
  fs::copy_file(fixtures / "song.m4a", cache / "sub" / (prefix + "140.m4a"));
  const std::vector<std::string> hostile{(fixtures / "victim.txt").string(),
                                         (fixtures / "victim.mp4").string(),
                                         (cache / (prefix + "link.m4a")).string(),
                                         (cache / other).string(),
                                         (cache / "sub" / (prefix + "140.m4a")).string(),
                                         (cache / (prefix + "x") / ".." / ".." / "victim.txt").string(),
                                         "../" + other};
  std::string print;
  for (const auto& line : hostile) print += line + "\n";
  ytdlp.put("print.txt", print);
  ytdlp.put("files.txt", "140 m4a song.m4a\n");

  const auto media = load(page);
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(test::read_bytes(fixtures / "victim.txt").size(), 3000u);
  EXPECT_EQ(test::read_bytes(fixtures / "victim.mp4"), test::read_bytes(fixtures / "clip.mp4"));
  EXPECT_TRUE(fs::is_symlink(cache / (prefix + "link.m4a")));
  EXPECT_TRUE(fs::exists(cache / other));
  EXPECT_TRUE(fs::exists(cache / "sub" / (prefix + "140.m4a")));
  EXPECT_FALSE(fs::exists(cache / (id + ".mp4"))) << "an MP4 outside the cache is never moved in";
  EXPECT_EQ(test::read_bytes(cache / (id + ".audio")), test::read_bytes(fixtures / "song.m4a"));
  EXPECT_FALSE(fs::exists(cache / (prefix + "140.m4a")));
}

TEST_F(LadderTest, KilledDownloadLeavesNoPartialFiles) {
  ytdlp.put("files.txt", "140 m4a song.m4a\n137 mp4 clip.mp4\n");
  ytdlp.put("sleep.template", "30");
  MediaLimits limits;
  limits.download_limit = std::chrono::milliseconds(1500);
  const auto media = load(page, limits);
  EXPECT_FALSE(media.has_value());
  EXPECT_TRUE(leftovers(cache).empty()) << ::testing::PrintToString(leftovers(cache));
  EXPECT_FALSE(fs::exists(cache / (id + ".audio")));
  EXPECT_FALSE(fs::exists(cache / (id + ".mp4")));
}

TEST_F(LadderTest, ErrorPageIsNeitherCachedNorKept) {
  std::string html = "<html><body>";
  while (html.size() < 5000) html += "<p>Access denied</p>";
  test::write_text(fixtures / "denied.html", html + "</body></html>");
  ytdlp.put("g.txt", server.url("denied.html") + "\n");
  EXPECT_EQ(load(page).error(), kUndecodableMessage);
  EXPECT_NE(std::count(progress.begin(), progress.end(), 60), 0);
  EXPECT_FALSE(fs::exists(cache / (id + ".audio")));
  EXPECT_FALSE(fs::exists(cache / (id + ".pcm48k")));

  // One cached before this was checked is dropped once it fails to decode.
  fs::copy_file(fixtures / "denied.html", cache / (id + ".audio"));
  EXPECT_FALSE(load(page).has_value());
  EXPECT_EQ(progress[1], 75);
  EXPECT_FALSE(fs::exists(cache / (id + ".audio")));
  settle_background_download();
}

// A good source must not be fetched again because this machine could not
// decode it: only the decoders' verdict on the bytes drops the file.
// Loss guarded against: a broken ffmpeg install or wrapper (exit 126 or 127)
// counted as a verdict, and every fetched source was deleted and fetched again.
TEST_F(LadderTest, FetchedSourceStaysWhenTheDecodersCouldNotJudgeIt) {
  const fs::path opus = fixtures / "song.opus";
  auto args = test::tone_input(48000, 2, 1.0, 0.5);
  args.insert(args.end(), {"-c:a", "libopus", opus.string()});
  ASSERT_TRUE(test::run_ffmpeg(args));
  ASSERT_GE(fs::file_size(opus), kUsableAudioBytes);
  ToolBin no_ffmpeg(false);
  // An ffmpeg that is there but does not run, or dies.
  ToolBin not_executable(false), not_found(false), killed(false);
  test::write_script(not_executable.path() / "ffmpeg", "exit 126");
  test::write_script(not_found.path() / "ffmpeg", "exit 127");
  test::write_script(killed.path() / "ffmpeg", "kill -9 $$");
  MediaLimits short_bound;
  short_bound.max_track_frames = 48000;  // the 3 s song is over it
  struct Case {
    const char* name;
    fs::path source;
    const ToolBin& tools;
    MediaLimits limits;
  };
  const Case cases[] = {
      // Our own decoder does not take Opus; only ffmpeg could.
      {"no ffmpeg", opus, no_ffmpeg, {}},
      {"ffmpeg exits 126", opus, not_executable, {}},
      {"ffmpeg exits 127", opus, not_found, {}},
      {"ffmpeg killed", opus, killed, {}},
      {"over the bound", fixtures / "song.m4a", bin, short_bound},
  };
  for (const Case& c : cases) {
    ScopedEnv path("PATH", c.tools.path().string());
    test::write_file(cache / (id + ".audio"), test::read_bytes(c.source));
    EXPECT_FALSE(load(page, c.limits).has_value()) << c.name;
    EXPECT_EQ(progress[1], 75) << c.name;
    EXPECT_TRUE(fs::exists(cache / (id + ".audio"))) << c.name;
    settle_background_download();
  }
}

// A load whose caller stops wanting it kills its running tool at once and
// tries no later step.
TEST_F(LadderTest, CancelledLoadStopsItsToolAndTriesNoFurtherStep) {
  ytdlp.put("files.txt", "140 m4a song.m4a\n");
  ytdlp.put("gate.template", "");
  std::atomic<bool> cancelled{false};
  MediaLimits limits;
  limits.cancelled = [&cancelled] { return cancelled.load(); };
  std::thread cancel([&] {
    test::wait_until([&] { return !ytdlp.runs().empty(); }, std::chrono::seconds(10));
    cancelled = true;
  });
  const auto start = std::chrono::steady_clock::now();
  const auto media = load(page, limits);
  const auto took = std::chrono::steady_clock::now() - start;
  cancel.join();
  EXPECT_FALSE(media.has_value());
  EXPECT_LT(took, std::chrono::seconds(5)) << "the download ran on after the cancel";
  ASSERT_EQ(ytdlp_modes(), std::vector<std::string>{"template"});
  EXPECT_TRUE(test::process_gone(ytdlp.runs()[0].pid, std::chrono::milliseconds(500)));
  EXPECT_TRUE(leftovers(cache).empty()) << ::testing::PrintToString(leftovers(cache));

  // A local file's decoders stop too: ffmpeg is never run once cancelled.
  bin.forget_runs();
  const std::string local = (fixtures / "song.m4a").string();
  EXPECT_FALSE(load(local, limits).has_value());
  EXPECT_TRUE(bin.ffmpeg_runs().empty());
  EXPECT_FALSE(fs::exists(*pcm_cache_path(local)));
}

// A quiet and a loud track reach the normaliser's targets exactly once,
// whichever decoder serves them, from a fetched file and from a local path.
class LoudnessTest : public LadderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LoudnessTest, NormalisedOnce) {
  const bool with_ffmpeg = GetParam();
  struct Case {
    double amplitude;
    double expected_rms;
    fs::path file;
  };
  // Stereo tones of amplitude a have RMS a / sqrt(2): 0.0354 is raised by the
  // capped 1.65 (a second pass would raise it 2.7 times); 0.354 goes to 0.135.
  std::vector<Case> cases{{0.05, 0.05 / std::sqrt(2.0) * 1.65, fixtures / "quiet.m4a"},
                          {0.5, 0.135, fixtures / "loud.m4a"}};
  for (const Case& c : cases) {
    ASSERT_FALSE(test::make_tone_file(c.file, {"-c:a", "aac", "-b:a", "160k"}, 2.0, c.amplitude).empty());
  }
  bin.forget_runs();
  ToolBin no_ffmpeg(false);
  std::optional<ScopedEnv> path;
  if (!with_ffmpeg) path.emplace("PATH", no_ffmpeg.path().string());
  for (const Case& c : cases) {
    const fs::path& file = c.file;
    const auto local = load(file.string());
    ASSERT_TRUE(local.has_value());
    EXPECT_NEAR(test::stereo_rms(*local->samples), c.expected_rms, c.expected_rms * 0.03) << c.amplitude;

    fs::copy_file(file, cache / (id + ".audio"), fs::copy_options::overwrite_existing);
    fs::remove(cache / (id + ".pcm48k"));
    const auto fetched = load(page);
    ASSERT_TRUE(fetched.has_value());
    EXPECT_EQ(progress, (std::vector<int>{15, 75, 98}));
    EXPECT_NEAR(test::stereo_rms(*fetched->samples), c.expected_rms, c.expected_rms * 0.03) << c.amplitude;
    // The cached copy is loaded as it is, not normalised again.
    const auto again = load(page);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(progress, (std::vector<int>{15, 99}));
    EXPECT_EQ(*again->samples, *fetched->samples);
  }
  EXPECT_EQ(bin.ffmpeg_runs().empty(), !with_ffmpeg);
  settle_background_download();
}

INSTANTIATE_TEST_SUITE_P(Decoders, LoudnessTest, ::testing::Bool(), [](const auto& param_info) {
  return param_info.param ? "WithFfmpeg" : "WithoutFfmpeg";
});

// A load killed at any moment leaves every file under a final name whole:
// the decoded audio complete, a side file only beside it.
TEST_F(LadderTest, KilledLoadNeverLeavesAPartialFile) {
  ASSERT_FALSE(
      test::make_tone_file(cache / (id + ".audio"), {"-c:a", "aac", "-b:a", "96k", "-f", "mp4"}, 30.0, 0.5)
          .empty());
  const fs::path pcm = cache / (id + ".pcm48k");
  const fs::path meta = cache / (id + ".meta.json");
  auto run_probe = [&](std::optional<std::chrono::milliseconds> kill_after) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(MELODARA_MEDIA_LOAD_PROBE), const_cast<char*>(page.c_str()), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    EXPECT_EQ(::posix_spawn(&pid, MELODARA_MEDIA_LOAD_PROBE, &quiet, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    if (kill_after) {
      std::this_thread::sleep_for(*kill_after);
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  };
  const int status = run_probe(std::nullopt);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(fs::exists(pcm) && fs::exists(meta));
  const auto complete = fs::file_size(pcm);
  EXPECT_GE(complete, 30u * 48000 * 2 * 4);
  for (int delay_ms : {20, 60, 120, 200, 300, 450, 650, 900}) {
    fs::remove(pcm);
    fs::remove(meta);
    run_probe(std::chrono::milliseconds(delay_ms));
    if (fs::exists(pcm)) {
      EXPECT_EQ(fs::file_size(pcm), complete) << delay_ms;
    }
    if (fs::exists(meta)) {
      EXPECT_TRUE(fs::exists(pcm)) << delay_ms;
    }
  }
}

}  // namespace
}  // namespace melodara
