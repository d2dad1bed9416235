#include "media/ffmpeg_decode.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "media/afconvert_decode.h"
#include "media/file_io.h"
#include "media/inprocess_decoder.h"
#include "media/loudness.h"
#include "media/player_cache.h"

namespace melodara {

std::optional<DecodedMedia> pcm_from_f32le(std::span<const std::uint8_t> bytes, bool already_normalized) {
  if (bytes.size() < 8) return std::nullopt;
  std::vector<float> samples(bytes.size() / 4);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes.data() + 4 * i, 4);
    if constexpr (std::endian::native == std::endian::big) bits = std::byteswap(bits);
    const float v = std::bit_cast<float>(bits);
    samples[i] = std::isfinite(v) ? v : 0.0f;
  }
  if (samples.size() < 2) return std::nullopt;
  if (!already_normalized) normalize_loudness(samples);
  return make_decoded_media(std::move(samples));
}

Command ffmpeg_decode_command(std::string_view input) {
  return command_args16(Command{"ffmpeg", {}},
                        {"-v", "error", "-threads", "0", "-i", input, "-vn", "-ac", "2", "-ar", "48000", "-f",
                         "f32le", "-acodec", "pcm_f32le", "-"});
}

std::optional<DecodedMedia> decode_source_ffmpeg(const std::string& source) {
  const ProcessResult run = run_process_plain(ffmpeg_decode_command(source), {std::nullopt, true, false});
  if (run && exited_ok(run->status)) {
    if (auto media = pcm_from_f32le(run->stdout, false)) return media;
  }

  std::vector<std::uint8_t> bytes;
  if (!source.starts_with("http://") && !source.starts_with("https://")) {
    auto read = read_file_bytes(source);
    if (!read) return std::nullopt;
    bytes = std::move(*read);
  } else {
    const Command curl{"curl", {"-4", "-sL", "--max-time", "60", "-A", "Mozilla/5.0 Melodara/1.0", source}};
    ProcessResult fetched = run_process_with_timeout(curl, 65, 0);
    if (!fetched || !exited_ok(fetched->status) || fetched->stdout.size() < 65) return std::nullopt;
    bytes = std::move(fetched->stdout);
  }
  if (const auto pcm = decode_with_afconvert(bytes)) {
    if (auto media = pcm_from_f32le(*pcm, false)) return media;
  }
  return decode_with_symphonia(bytes);
}

std::optional<std::vector<std::uint8_t>> decode_bytes_ffmpeg(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  ProcessResult run = run_process_plain(ffmpeg_decode_command("pipe:0"), {bytes, true, false});
  if (run && exited_ok(run->status) && run->stdout.size() > 7) return std::move(run->stdout);
  if (auto pcm = decode_with_afconvert(bytes)) return pcm;
  if (const auto media = decode_with_symphonia(bytes)) return f32le_bytes(media->samples);
  return std::nullopt;
}

}  // namespace melodara
