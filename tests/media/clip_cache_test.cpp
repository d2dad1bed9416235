#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/utf8.h"
#include "media/analysis_meta.h"
#include "media/clip_id.h"
#include "media/file_io.h"
#include "media/pcm_cache_writer.h"
#include "media/player_cache.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;

TEST(TextTrim, TrimsUnicodeWhiteSpaceOnly) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases{
      {"  abc \t\n", "abc"},
      {"\u3000\u00a0abc\u2003\u0085", "abc"},  // ideographic, no-break, em space, next line
      {"\u200babc", "\u200babc"},              // zero-width space is not white space
      {"\ufeffabc", "\ufeffabc"},              // nor is the byte-order mark
      {"a b", "a b"},
      {" \u2028 ", ""},
      {"", ""},
      {"\xff abc ", "\xff abc"},  // a malformed byte stops the trim at that end
  };
  for (const Case& c : cases) EXPECT_EQ(trim_unicode(c.in), c.out) << c.in;
  EXPECT_TRUE(utf8_valid("h\u00e1t"));
  EXPECT_FALSE(utf8_valid("\xc3"));
  EXPECT_FALSE(utf8_valid("\xed\xa0\x80"));  // surrogate
  EXPECT_FALSE(utf8_valid("\xc0\xaf"));      // overlong
}

TEST(ClipId, Table) {
  struct Case {
    std::string source, id;
  };
  const std::vector<Case> cases{
      {"dQw4w9WgXcQ", "clip-yt-dQw4w9WgXcQ"},
      {" \u3000dQw4w9WgXcQ\t\u00a0", "clip-yt-dQw4w9WgXcQ"},
      {"dQw4w9WgXcQx", "clip-212ecccb29e22b5f"},
      {"https://www.youtube.com/watch?v=dQw4w9WgXcQ&list=PL1", "clip-yt-dQw4w9WgXcQ"},
      {"https://youtu.be/dQw4w9WgXcQ?t=10", "clip-yt-dQw4w9WgXcQ"},
      {"https://www.youtube.com/shorts/dQw4w9WgXcQ", "clip-yt-dQw4w9WgXcQ"},
      {"https://www.youtube.com/live/dQw4w9WgXcQ?feature=share", "clip-yt-dQw4w9WgXcQ"},
      {"https://www.youtube-nocookie.com/embed/dQw4w9WgXcQ?rel=0", "clip-yt-dQw4w9WgXcQ"},
      // a 10-character v= falls through to the path markers, then to the hash
      {"https://www.youtube.com/watch?v=short12345&x=/embed/dQw4w9WgXcQ", "clip-yt-dQw4w9WgXcQ"},
      {"https://www.youtube.com/watch?v=short12345", "clip-23938dacf82ffcd6"},
      // "?" does not end the v= value
      {"https://www.youtube.com/watch?v=dQw4w9WgXcQ?si=1", "clip-51fc5bcae78c7332"},
      {"https://www.bilibili.com/video/BV1xx411c7mD/?p=1", "clip-bili-BV1xx411c7mD"},
      {"https://www.bilibili.com/video/BV12345678", "clip-bili-BV12345678"},
      {"https://www.bilibili.com/video/BV1234567", "clip-6cf9bfc2879fcf11"},
      {"/music/youtube.com/watch?v=dQw4w9WgXcQ", "clip-yt-dQw4w9WgXcQ"},  // markers are plain substrings
      {"/home/u/music/song.mp3", "clip-2f051a883e4e913f"},
      {"  /home/u/music/song.mp3\n", "clip-2f051a883e4e913f"},
      {"https://cdn.example.com/a.mp3", "clip-88afb3cd43ca0d26"},
      {"", "clip-cbf29ce484222325"},
  };
  for (const Case& c : cases) EXPECT_EQ(clip_id_from_url(c.source), c.id) << c.source;
}

TEST(PlayerCache, FolderAndPaths) {
  TempDir home;
  ScopedEnv h("HOME", home.path().string());
  const fs::path dir = home.path() / ".cache/melodara/player-cache";
  EXPECT_EQ(player_cache_dir(), dir);
  EXPECT_TRUE(fs::is_directory(dir));

  const std::string web = " https://youtu.be/dQw4w9WgXcQ ";
  EXPECT_EQ(pcm_cache_path(web), dir / "clip-yt-dQw4w9WgXcQ.pcm48k");
  EXPECT_EQ(analysis_meta_path(web), dir / "clip-yt-dQw4w9WgXcQ.meta.json");
  EXPECT_EQ(audio_cache_path(web), dir / "clip-yt-dQw4w9WgXcQ.audio");
  EXPECT_EQ(video_cache_path(web), dir / "clip-yt-dQw4w9WgXcQ.mp4");

  const std::string local = "/home/u/music/song.mp3";
  EXPECT_EQ(pcm_cache_path(local), dir / "clip-2f051a883e4e913f.pcm48k");
  EXPECT_FALSE(audio_cache_path(local).has_value());
  EXPECT_FALSE(video_cache_path(local).has_value());
  for (const char* blank : {"", "  \t", "\u3000"}) {
    EXPECT_FALSE(pcm_cache_path(blank).has_value());
    EXPECT_FALSE(analysis_meta_path(blank).has_value());
    EXPECT_FALSE(audio_cache_path(blank).has_value());
  }
}

TEST(PlayerCache, FolderWithoutHomeIsInTemp) {
  TempDir tmp;
  ScopedEnv h("HOME", std::nullopt);
  ScopedEnv u("USERPROFILE", std::nullopt);
  ScopedEnv t("TMPDIR", tmp.path().string());
  EXPECT_EQ(player_cache_dir(), tmp.path() / "melodara-player-cache");
  ScopedEnv u2("USERPROFILE", (tmp.path() / "profile").string());
  EXPECT_EQ(player_cache_dir(), tmp.path() / "profile/.cache/melodara/player-cache");
  // Set but empty counts as unset: never a cache under the working folder.
  ScopedEnv h2("HOME", std::string());
  EXPECT_EQ(player_cache_dir(), tmp.path() / "profile/.cache/melodara/player-cache");
  ScopedEnv u3("USERPROFILE", std::string());
  EXPECT_EQ(player_cache_dir(), tmp.path() / "melodara-player-cache");
}

TEST(PlayerCache, UsabilityThresholds) {
  TempDir dir;
  auto sized = [&](const std::string& name, std::size_t size) {
    test::write_file(dir / name, std::vector<std::uint8_t>(size, 1));
    return dir / name;
  };
  EXPECT_FALSE(is_usable_pcm_cache(sized("a", 4096)));
  EXPECT_TRUE(is_usable_pcm_cache(sized("b", 4097)));
  EXPECT_FALSE(is_usable_audio_cache(sized("c", 1024)));
  EXPECT_TRUE(is_usable_audio_cache(sized("d", 1025)));
  EXPECT_FALSE(is_usable_pcm_cache(dir / "missing"));
  EXPECT_FALSE(is_usable_pcm_cache(dir.path()));  // a folder is not a cache file
  EXPECT_FALSE(cache_file_path_if_large(sized("e", 16384)).has_value());
  EXPECT_EQ(cache_file_path_if_large(sized("f", 16385)), (dir / "f").string());
}

TEST(PlayerCache, Mp4Sniffing) {
  TempDir dir;
  auto mp4 = [&](const std::string& name, std::size_t size, const std::string& brands) {
    std::vector<std::uint8_t> bytes(size, 0);
    const std::string head = std::string("\0\0\0\x18", 4) + "ftyp" + brands;
    std::copy(head.begin(), head.end(), bytes.begin());
    test::write_file(dir / name, bytes);
    return dir / name;
  };
  EXPECT_TRUE(is_mp4_file(mp4("ok.mp4", 20000, "isomavc1mp41")));
  EXPECT_FALSE(is_mp4_file(mp4("av1.mp4", 20000, "isomav01mp41")));
  EXPECT_FALSE(is_mp4_file(mp4("small.mp4", 16384, "isomavc1mp41")));
  EXPECT_TRUE(is_mp4_file(mp4("edge.mp4", 16385, "isomavc1mp41")));
  std::vector<std::uint8_t> shifted(20000, 0);
  std::copy_n("ftypisomavc1", 12, shifted.begin());  // "ftyp" must sit at bytes 4..7
  test::write_file(dir / "shifted.mp4", shifted);
  EXPECT_FALSE(is_mp4_file(dir / "shifted.mp4"));
  std::vector<std::uint8_t> riff(20000, 0);
  std::copy_n("RIFF\0\0\0\0WAVE", 12, riff.begin());
  test::write_file(dir / "riff", riff);
  EXPECT_FALSE(is_mp4_file(dir / "riff"));
  EXPECT_FALSE(is_mp4_file(dir / "missing"));
}

class AnalysisMetaTest : public ::testing::Test {
 protected:
  TempDir home;
  ScopedEnv h{"HOME", home.path().string()};
  const std::string source = "https://www.youtube.com/watch?v=dQw4w9WgXcQ";
  fs::path meta_path() { return *analysis_meta_path(source); }
};

TEST_F(AnalysisMetaTest, WriteThenRead) {
  write_analysis_meta(source, std::string("A Minor"), true, 128.5f);
  EXPECT_EQ(nlohmann::json::parse(test::read_bytes(meta_path())),
            nlohmann::json::parse(
                R"({"detected_bpm":128.5,"detected_key":"A Minor","normalized":true,"version":4})"));
  const auto meta = read_analysis_meta(source);
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->detected_key, "A Minor");
  EXPECT_EQ(meta->detected_bpm, 128.5f);
  EXPECT_TRUE(meta->normalized);

  // Unknown or non-finite tempo and no key are written as null.
  write_analysis_meta(source, std::nullopt, true, std::numeric_limits<float>::quiet_NaN());
  const auto text = test::read_bytes(meta_path());
  EXPECT_EQ(std::string(text.begin(), text.end()),
            R"({"detected_bpm":null,"detected_key":null,"normalized":true,"version":4})");
  write_analysis_meta(source, std::nullopt, false, 120.0f);
  const auto cleared = read_analysis_meta(source);
  ASSERT_TRUE(cleared.has_value());
  EXPECT_FALSE(cleared->detected_bpm.has_value());
  EXPECT_FALSE(cleared->detected_key.has_value());

  // Nothing but the side file is left in the folder (no temporary names).
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(meta_path().parent_path())) {
    ++entries;
    EXPECT_EQ(e.path(), meta_path());
  }
  EXPECT_EQ(entries, 1u);
  write_analysis_meta("   ", std::nullopt, false, 0.0f);  // blank source: nothing written
  EXPECT_EQ(std::distance(fs::directory_iterator(meta_path().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(AnalysisMetaTest, ReaderTable) {
  struct Case {
    std::string text;
    bool valid;
    std::optional<std::string> key;
    std::optional<float> bpm;
    bool normalized;
  };
  const std::vector<Case> cases{
      {R"({"version":4,"detected_key":"C#m","detected_bpm":120,"normalized":true})", true, "C#m", 120.0f,
       true},
      {R"({"version":5,"detected_key":7,"detected_bpm":"x","normalized":"yes"})", true, {}, {}, false},
      {R"({"version":4})", true, {}, {}, false},
      {R"({"version":3,"detected_key":"C","normalized":true})", false, {}, {}, false},
      {R"({"version":4.0,"normalized":true})", false, {}, {}, false},
      {R"({"version":-4})", false, {}, {}, false},
      {R"({"version":"4"})", false, {}, {}, false},
      {R"({"detected_key":"C"})", false, {}, {}, false},
      {R"([4])", false, {}, {}, false},
      {R"({"version":4,)", false, {}, {}, false},
      {"", false, {}, {}, false},
  };
  for (const Case& c : cases) {
    test::write_text(meta_path(), c.text);
    const auto meta = read_analysis_meta(source);
    ASSERT_EQ(meta.has_value(), c.valid) << c.text;
    if (!meta) continue;
    EXPECT_EQ(meta->detected_key, c.key) << c.text;
    EXPECT_EQ(meta->detected_bpm, c.bpm) << c.text;
    EXPECT_EQ(meta->normalized, c.normalized) << c.text;
  }
  fs::remove(meta_path());
  EXPECT_FALSE(read_analysis_meta(source).has_value());
}

TEST_F(AnalysisMetaTest, SideFileWaitsForTheAudioItVouchesFor) {
  // A big detached write of the decoded audio, then the side file at once:
  // once the side file exists, the whole audio must be in place.
  const auto samples = std::make_shared<const std::vector<float>>(8 * 1024 * 1024, 0.25f);
  const fs::path pcm = *pcm_cache_path(source);
  spawn_write_pcm_cache(pcm, samples);
  write_analysis_meta(source, std::nullopt, true, 90.0f);
  ASSERT_TRUE(fs::exists(meta_path()));
  ASSERT_TRUE(fs::exists(pcm));
  EXPECT_EQ(fs::file_size(pcm), samples->size() * sizeof(float));
}

TEST(PcmCacheWriter, WritesLittleEndianFloatsByRename) {
  TempDir dir;
  const fs::path path = dir / "clip.pcm48k";
  test::write_text(path, "old contents");
  std::vector<float> samples(1000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i) * 0.001f - 0.5f;
  spawn_write_pcm_cache(path, std::make_shared<const std::vector<float>>(samples));
  wait_for_pending_writes(path);
  const auto bytes = test::read_bytes(path);
  ASSERT_EQ(bytes.size(), samples.size() * 4);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t bits = std::uint32_t{bytes[4 * i]} | (std::uint32_t{bytes[4 * i + 1]} << 8) |
                               (std::uint32_t{bytes[4 * i + 2]} << 16) |
                               (std::uint32_t{bytes[4 * i + 3]} << 24);
    ASSERT_EQ(std::bit_cast<float>(bits), samples[i]) << i;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  // 256 samples or no path: nothing happens.
  spawn_write_pcm_cache(dir / "small.pcm48k", std::make_shared<const std::vector<float>>(256, 0.1f));
  spawn_write_pcm_cache(std::nullopt, std::make_shared<const std::vector<float>>(samples));
  wait_for_pending_writes(dir / "small.pcm48k");
  EXPECT_FALSE(fs::exists(dir / "small.pcm48k"));

  // A failed write (folder missing) leaves nothing behind and raises nothing.
  EXPECT_FALSE(write_pcm_cache(dir / "no-such-folder" / "x.pcm48k", samples));
}

TEST(FileIo, ReplacingWriteKeepsOldFileOnFailure) {
  TempDir dir;
  const fs::path path = dir / "f";
  test::write_text(path, "before");
  const std::vector<std::uint8_t> after{'a', 'f', 't'};
  EXPECT_TRUE(write_file_replacing(path, after));
  EXPECT_EQ(test::read_bytes(path), after);
  EXPECT_EQ(read_file_bytes(path), after);
  EXPECT_FALSE(read_file_bytes(dir / "missing").has_value());
  // The target is a folder: the rename fails, the temporary file is removed.
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(write_file_replacing(dir / "sub", after));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace melodara
