#pragma once
// Minimal WAV reading (16-bit PCM or 32-bit float) for input sources, and a
// 32-bit float WAV writer that keeps its header valid after every append.
#include <cstdint>
#include <cstdio>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace melodara::sim {

struct WavData {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::vector<float> samples;  // interleaved
};

std::expected<WavData, std::string> read_wav(const std::string& path);

class WavSinkFile {
 public:
  WavSinkFile() = default;
  WavSinkFile(const WavSinkFile&) = delete;
  WavSinkFile& operator=(const WavSinkFile&) = delete;
  ~WavSinkFile();
  bool open(const std::string& path, std::uint32_t sample_rate, std::uint16_t channels);
  bool is_open() const { return file_ != nullptr; }
  // Appends interleaved samples and rewrites the header sizes.
  void append(std::span<const float> samples);

 private:
  void write_header();
  std::FILE* file_ = nullptr;
  std::uint32_t rate_ = 0;
  std::uint16_t channels_ = 0;
  std::uint64_t data_bytes_ = 0;
};

}  // namespace melodara::sim
