#include "core/wav_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "core/env_paths.h"
#include "core/file_io.h"
#include "core/little_endian.h"
#include "core/replacing_file.h"

namespace melodara {
namespace {

std::string system_error_text(int err) { return std::system_category().message(err); }

}  // namespace

std::int16_t wav_sample_i16(float x) {
  if (!std::isfinite(x)) return 0;
  const float scaled = std::round(std::clamp(x, -0.9999f, 0.9999f) * 32767.0f);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

std::expected<void, std::string> write_wav_f32(const std::filesystem::path& path,
                                               std::span<const float> samples) {
  return write_wav_f32_pieces(path, std::span<const std::span<const float>>(&samples, 1));
}

std::expected<void, std::string> write_wav_f32_pieces(const std::filesystem::path& path,
                                                      std::span<const std::span<const float>> pieces) {
  auto create_error = [&](int err) {
    return std::unexpected("Không thể tạo file WAV " + path.string() + ": " + system_error_text(err));
  };
  auto data_error = [](int err) { return std::unexpected("Lỗi ghi dữ liệu WAV: " + system_error_text(err)); };
  ReplacingFile file(path);
  if (const int err = file.create(); err != 0) return create_error(err);
  static constexpr float kSilence[9600] = {};
  const std::span<const float> silence(kSilence);
  std::uint64_t n = 0;
  for (const auto& piece : pieces) n += piece.size();
  if (n == 0) {
    pieces = std::span<const std::span<const float>>(&silence, 1);
    n = silence.size();
  }
  const std::uint64_t data_size = 2 * n;
  const std::uint64_t riff = data_size + 36;

  std::uint8_t header[44];
  std::memcpy(header, "RIFF", 4);
  store_le32(header + 4, riff > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<std::uint32_t>(riff));
  std::memcpy(header + 8, "WAVEfmt ", 8);
  store_le32(header + 16, 16);
  store_le16(header + 20, 1);
  store_le16(header + 22, 2);
  store_le32(header + 24, 48000);
  store_le32(header + 28, 192000);
  store_le16(header + 32, 4);
  store_le16(header + 34, 16);
  std::memcpy(header + 36, "data", 4);
  store_le32(header + 40, static_cast<std::uint32_t>(data_size));
  if (const int err = write_all(file.fd(), header); err != 0) {
    return std::unexpected("Lỗi ghi header WAV: " + system_error_text(err));
  }

  // Converted and written a bounded piece at a time: a long take never needs
  // a second copy of itself in memory.
  std::vector<std::uint8_t> buffer(kWavWriteChunkBytes);
  std::size_t used = 0;
  for (const auto& piece : pieces) {
    for (const float x : piece) {
      store_le16(buffer.data() + used, static_cast<std::uint16_t>(wav_sample_i16(x)));
      used += 2;
      if (used == buffer.size()) {
        if (const int err = write_all(file.fd(), buffer); err != 0) return data_error(err);
        used = 0;
      }
    }
  }
  if (const int err = write_all(file.fd(), std::span(buffer).first(used)); err != 0) return data_error(err);
  if (const int err = file.finish_writing(); err != 0) return data_error(err);
  if (const int err = file.put_in_place(); err != 0) return create_error(err);
  return {};
}

void write_wav_thread(std::filesystem::path path, std::vector<float> samples) {
  (void)write_wav_f32(path, samples);
}

std::filesystem::path downloads_dir() {
  const std::optional<std::string> home = home_folder();
  if (!home) return user_temp_dir();
  const std::filesystem::path home_path(*home);
  const std::filesystem::path candidate = home_path / "Downloads";
  std::error_code ec;
  if (std::filesystem::is_directory(candidate, ec)) return candidate;
  if (!home->empty() && std::filesystem::is_directory(home_path, ec)) return home_path;
  return user_temp_dir();
}

}  // namespace melodara
