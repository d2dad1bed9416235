#include "media/afconvert_decode.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/env_paths.h"
#include "core/little_endian.h"
#include "core/process_runner.h"
#include "media/file_io.h"
#include "media/pcm_samples.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> random_token() {
  std::uint8_t raw[12];
  std::size_t got = 0;
  while (got < sizeof raw) {
    const ssize_t n = ::getrandom(raw + got, sizeof raw - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return std::nullopt;
    }
  }
  std::string token;
  char hex[3];
  for (std::uint8_t b : raw) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

bool write_new_file(const fs::path& path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool ok = write_all(fd, bytes) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace

std::string_view afconvert_input_extension(std::span<const std::uint8_t> b) {
  if (b.size() >= 8 && std::memcmp(b.data() + 4, "ftyp", 4) == 0) return "m4a";
  if (b.size() >= 3 && std::memcmp(b.data(), "ID3", 3) == 0) return "mp3";
  if (b.size() >= 2 && b[0] == 0xFF && b[1] >= 0xE0) return "mp3";
  if (b.size() >= 4 && std::memcmp(b.data(), "RIFF", 4) == 0) return "wav";
  if (b.size() >= 4 && std::memcmp(b.data(), "OggS", 4) == 0) return "ogg";
  return "m4a";
}

std::optional<std::span<const std::uint8_t>> wav_data_chunk(std::span<const std::uint8_t> wav) {
  const std::size_t len = wav.size();
  if (len < 44) return std::nullopt;
  std::size_t at = 12;
  while (at + 8 <= len) {
    const std::uint32_t size = load_le32(wav.data() + at + 4);
    const std::size_t body = at + 8;
    if (std::memcmp(wav.data() + at, "data", 4) == 0) {
      const std::size_t end = body + std::min<std::size_t>(size, len - body);
      if (end - body <= 8) break;
      return wav.subspan(body, end - body);
    }
    if (size > len - body) break;  // the next header cannot fit
    at = body + size;
  }
  if (len >= 4097) return wav.subspan(44);
  return std::nullopt;
}

std::optional<fs::path> create_private_temp_file(const fs::path& dir, std::string_view prefix,
                                                 std::string_view extension) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::optional<std::string> token = random_token();
    if (!token) return std::nullopt;
    const fs::path path = dir / (std::string(prefix) + std::to_string(::getpid()) + "_" + *token + "." +
                                 std::string(extension));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

std::expected<std::vector<float>, DecodeFailure> decode_with_afconvert(std::span<const std::uint8_t> bytes,
                                                                       const MediaLimits& limits) {
  constexpr auto kUnavailable = std::unexpected(DecodeFailure::Unavailable);
  if (bytes.size() < 16) return std::unexpected(DecodeFailure::Refused);
  const fs::path tmp = user_temp_dir();
  const auto input = create_private_temp_file(tmp, "mld_afin_", afconvert_input_extension(bytes));
  if (!input) return kUnavailable;
  if (!write_new_file(*input, bytes)) {
    ::unlink(input->c_str());
    return kUnavailable;
  }
  const auto output = create_private_temp_file(tmp, "mld_afout_", "wav");
  if (!output) {
    ::unlink(input->c_str());
    return kUnavailable;
  }
  const Command convert{"/usr/bin/afconvert",
                        {"-f", "WAVE", "-d", "LEF32@48000", "-c", "2", input->string(), output->string()}};
  RunOptions options;
  options.capture_stdout = false;
  options.capture_stderr = false;
  options.cancelled = limits.cancelled;
  const ProcessResult run = run_process(convert, options);
  ::unlink(input->c_str());
  if (!run || !exited_ok(run->status)) {
    ::unlink(output->c_str());
    if (!run) {
      return std::unexpected(run.error() == kCancelled ? DecodeFailure::Cancelled
                                                       : DecodeFailure::Unavailable);
    }
    return std::unexpected(DecodeFailure::Refused);
  }
  // A header and the bound's worth of floats, no more.
  const auto wav = read_regular_file(*output, 4096 + 4 * limits.max_track_samples(), Links::Refuse);
  ::unlink(output->c_str());
  if (!wav) return kUnavailable;
  const auto data = wav_data_chunk(*wav);
  if (!data) return std::unexpected(DecodeFailure::Refused);
  F32leCollector collector(limits.max_track_samples(), data->size() / 4);
  if (!collector.append(*data)) return kUnavailable;
  return std::move(collector).take();
}

}  // namespace melodara
