#include "core/wav_writer.h"

#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <expected>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/wav_reader.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::int16_t sample(const std::vector<std::uint8_t>& b, std::size_t i) {
  return static_cast<std::int16_t>(u16(b, 44 + 2 * i));
}

TEST(WavWriter, HeaderAndConversion) {
  TempDir dir;
  const fs::path path = dir / "mix.wav";
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> samples{
      1.0f, -1.0f, 0.5f, nan, 2.0f, -inf, 0.25f / 32767.0f * 2.0f, -1.5f / 32767.0f,
      0.0f};  // odd count on purpose
  ASSERT_TRUE(write_wav_f32(path, samples).has_value());
  const auto b = test::read_bytes(path);
  ASSERT_EQ(b.size(), 44u + 2 * samples.size());
  EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
  EXPECT_EQ(u32(b, 4), 36u + 2 * samples.size());
  EXPECT_EQ(std::memcmp(b.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(u32(b, 16), 16u);
  EXPECT_EQ(u16(b, 20), 1u);
  EXPECT_EQ(u16(b, 22), 2u);
  EXPECT_EQ(u32(b, 24), 48000u);
  EXPECT_EQ(u32(b, 28), 192000u);
  EXPECT_EQ(u16(b, 32), 4u);
  EXPECT_EQ(u16(b, 34), 16u);
  EXPECT_EQ(std::memcmp(b.data() + 36, "data", 4), 0);
  EXPECT_EQ(u32(b, 40), 2 * samples.size());
  const std::vector<std::int16_t> expected{32764, -32764, 16384, 0, 32764,
                                           0,     1,      -2,    0};  // 0.5 and -1.5 round away
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sample(b, i), expected[i]) << i;

  // Our own reader reads the file back as the same stereo signal.
  const auto back = parse_wav_file(b);
  ASSERT_TRUE(back.has_value());
  EXPECT_NEAR(back->samples[2], 0.5f, 1e-4f);
}

TEST(WavWriter, EmptyListIsATenthOfASecondOfSilenceAndFilesAreTruncated) {
  TempDir dir;
  const fs::path path = dir / "empty.wav";
  ASSERT_TRUE(write_wav_f32(path, std::vector<float>(50000, 0.3f)).has_value());
  ASSERT_TRUE(write_wav_f32(path, {}).has_value());
  const auto b = test::read_bytes(path);
  ASSERT_EQ(b.size(), 19244u);
  EXPECT_EQ(u32(b, 4), 19236u);
  EXPECT_EQ(u32(b, 40), 19200u);
  for (std::size_t i = 44; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(WavWriter, FailureMessages) {
  TempDir dir;
  const fs::path path = dir / "no-such-folder" / "x.wav";
  const auto r = write_wav_f32(path, std::vector<float>{0.1f});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "Không thể tạo file WAV " + path.string() + ": No such file or directory");
  write_wav_thread(dir / "thread.wav", std::vector<float>(10, 0.0f));
  EXPECT_EQ(fs::file_size(dir / "thread.wav"), 64u);
}

// A full disk for this process: writes past `bytes` fail with EFBIG instead of
// raising SIGXFSZ. Both are restored after.
struct FileSizeLimit {
  rlimit old{};
  void (*old_handler)(int) = nullptr;
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
  }
};

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

// Guards the loss of the previous take: a write that cannot finish used to
// leave a torn file in its place.
TEST(WavWriter, FailedWriteLeavesThePreviousFileWholeAndNoTemporary) {
  TempDir dir;
  const fs::path path = dir / "mix.wav";
  ASSERT_TRUE(write_wav_f32(path, std::vector<float>(50000, 0.3f)).has_value());
  const auto before = test::read_bytes(path);
  struct Case {
    rlim_t limit;
    const char* message;
  } cases[] = {{30, "Lỗi ghi header WAV: File too large"},
               {64 * 1024, "Lỗi ghi dữ liệu WAV: File too large"},
               {kWavWriteChunkBytes + 100, "Lỗi ghi dữ liệu WAV: File too large"}};
  for (const Case& c : cases) {
    std::expected<void, std::string> r;
    {
      const FileSizeLimit full(c.limit);
      r = write_wav_f32(path, std::vector<float>(400000, -0.5f));
    }
    ASSERT_FALSE(r.has_value()) << c.limit;
    EXPECT_EQ(r.error(), c.message);
    EXPECT_EQ(test::read_bytes(path), before) << c.limit;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"mix.wav"});
  }
  // A folder in the file's place: nothing is renamed over it.
  fs::create_directory(dir / "taken.wav");
  const auto r = write_wav_f32(dir / "taken.wav", std::vector<float>(10, 0.1f));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "Không thể tạo file WAV " + (dir / "taken.wav").string() + ": Is a directory");
  EXPECT_EQ(names_in(dir.path()).size(), 2u);
}

// Written a bounded piece at a time: pieces that straddle the writer's
// chunks still come out in order, each sample converted once.
TEST(WavWriter, PiecesAcrossChunkBoundariesAreWrittenInOrder) {
  TempDir dir;
  const std::size_t per_chunk = kWavWriteChunkBytes / 2;
  std::vector<float> all(3 * per_chunk + 11);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = float(int(i % 2001) - 1000) / 1000.0f;
  const std::span<const float> whole(all);
  const std::size_t cuts[] = {0, 1, per_chunk - 1, 2 * per_chunk + 3, all.size()};
  std::vector<std::span<const float>> pieces;
  for (std::size_t i = 0; i + 1 < std::size(cuts); ++i)
    pieces.push_back(whole.subspan(cuts[i], cuts[i + 1] - cuts[i]));
  const fs::path path = dir / "pieces.wav";
  ASSERT_TRUE(write_wav_f32_pieces(path, pieces).has_value());
  const auto b = test::read_bytes(path);
  ASSERT_EQ(b.size(), 44u + 2 * all.size());
  EXPECT_EQ(u32(b, 40), 2 * all.size());
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(sample(b, i), wav_sample_i16(all[i])) << i;
}

TEST(DownloadsDir, Table) {
  TempDir root;
  ScopedEnv tmp("TMPDIR", (root / "tmp").string());
  fs::create_directories(root / "tmp");
  fs::create_directories(root / "with/Downloads");
  fs::create_directories(root / "without");
  test::write_text(root / "file-home", "x");
  struct Case {
    std::optional<std::string> home, profile;
    fs::path expected;
  };
  const std::vector<Case> cases{
      {(root / "with").string(), std::nullopt, root / "with/Downloads"},
      {(root / "without").string(), std::nullopt, root / "without"},
      {(root / "missing").string(), std::nullopt, root / "tmp"},
      {(root / "file-home").string(), std::nullopt, root / "tmp"},
      {std::nullopt, (root / "with").string(), root / "with/Downloads"},
      {std::string("\xff\xfe"), (root / "without").string(), root / "without"},  // HOME not UTF-8
      {std::nullopt, std::nullopt, root / "tmp"},
  };
  for (const Case& c : cases) {
    ScopedEnv h("HOME", c.home);
    ScopedEnv u("USERPROFILE", c.profile);
    EXPECT_EQ(downloads_dir(), c.expected)
        << c.home.value_or("<unset>") << " " << c.profile.value_or("<unset>");
  }
  // An empty HOME (or USERPROFILE) is no home: never the working folder's "Downloads".
  const fs::path old = fs::current_path();
  fs::current_path(root / "with");
  {
    ScopedEnv h("HOME", std::string());
    ScopedEnv u("USERPROFILE", std::string());
    EXPECT_EQ(downloads_dir(), root / "tmp");
  }
  {
    ScopedEnv h("HOME", std::string());
    ScopedEnv u("USERPROFILE", (root / "without").string());
    EXPECT_EQ(downloads_dir(), root / "without");
  }
  fs::current_path(old);
  EXPECT_FALSE(fs::exists(root / "without/Downloads"));  // never created
}

}  // namespace
}  // namespace melodara
