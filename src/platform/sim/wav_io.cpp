#include "platform/sim/wav_io.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "core/little_endian.h"

namespace melodara::sim {
std::expected<WavData, std::string> read_wav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("cannot read " + path);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
    return std::unexpected(path + " is not a WAV file");
  std::uint16_t format = 0, bits = 0;
  WavData w;
  std::size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const std::uint32_t size = load_le32(&bytes[pos + 4]);
    const std::size_t body = pos + 8;
    const std::size_t avail = std::min<std::size_t>(size, bytes.size() - body);
    if (std::memcmp(&bytes[pos], "fmt ", 4) == 0 && avail >= 16) {
      format = load_le16(&bytes[body]);
      w.channels = load_le16(&bytes[body + 2]);
      w.sample_rate = load_le32(&bytes[body + 4]);
      bits = load_le16(&bytes[body + 14]);
      if (format == 0xFFFE && avail >= 26) format = load_le16(&bytes[body + 24]);
    } else if (std::memcmp(&bytes[pos], "data", 4) == 0) {
      if (w.channels == 0) return std::unexpected(path + ": data before fmt");
      if (format == 1 && bits == 16) {
        for (std::size_t i = 0; i + 1 < avail; i += 2)
          w.samples.push_back(static_cast<std::int16_t>(load_le16(&bytes[body + i])) / 32768.0f);
      } else if (format == 3 && bits == 32) {
        for (std::size_t i = 0; i + 3 < avail; i += 4) {
          const std::uint32_t u = load_le32(&bytes[body + i]);
          float f;
          std::memcpy(&f, &u, 4);
          w.samples.push_back(f);
        }
      } else {
        return std::unexpected(path + ": only 16-bit PCM or 32-bit float WAV");
      }
      w.samples.resize(w.samples.size() / w.channels * w.channels);
      return w;
    }
    pos = body + size + (size & 1);
  }
  return std::unexpected(path + ": no data chunk");
}

WavSinkFile::~WavSinkFile() {
  if (file_) std::fclose(file_);
}

bool WavSinkFile::open(const std::string& path, std::uint32_t sample_rate, std::uint16_t channels) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  rate_ = sample_rate;
  channels_ = channels;
  data_bytes_ = 0;
  write_header();
  return true;
}

void WavSinkFile::write_header() {
  unsigned char h[44];
  const std::uint32_t data =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(data_bytes_, 0xFFFFFFFFull - 36));
  std::memcpy(h, "RIFF", 4);
  store_le32(h + 4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  store_le32(h + 16, 16);
  store_le16(h + 20, 3);
  store_le16(h + 22, channels_);
  store_le32(h + 24, rate_);
  store_le32(h + 28, rate_ * channels_ * 4);
  store_le16(h + 32, static_cast<std::uint16_t>(channels_ * 4));
  store_le16(h + 34, 32);
  std::memcpy(h + 36, "data", 4);
  store_le32(h + 40, data);
  std::fseek(file_, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, file_);
  std::fseek(file_, 0, SEEK_END);
}

void WavSinkFile::append(std::span<const float> samples) {
  if (!file_ || samples.empty()) return;
  std::fwrite(samples.data(), sizeof(float), samples.size(), file_);
  data_bytes_ += samples.size() * sizeof(float);
  write_header();
  std::fflush(file_);
}

}  // namespace melodara::sim
