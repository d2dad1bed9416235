#include "media/inprocess_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "media/loudness.h"

namespace melodara {
namespace {

constexpr int kIoBufferSize = 32768;

struct MemoryInput {
  const std::uint8_t* data = nullptr;
  std::int64_t size = 0;
  std::int64_t pos = 0;
};

int read_memory(void* opaque, std::uint8_t* buf, int buf_size) {
  auto* in = static_cast<MemoryInput*>(opaque);
  const std::int64_t left = in->size - in->pos;
  if (left <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<std::int64_t>(left, buf_size));
  std::memcpy(buf, in->data + in->pos, static_cast<std::size_t>(n));
  in->pos += n;
  return n;
}

std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) {
  auto* in = static_cast<MemoryInput*>(opaque);
  if (whence & AVSEEK_SIZE) return in->size;
  std::int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = in->pos; break;
    case SEEK_END: base = in->size; break;
    default: return AVERROR(EINVAL);
  }
  if ((offset > 0 && base > INT64_MAX - offset)) return AVERROR(EINVAL);
  const std::int64_t target = base + offset;
  if (target < 0 || target > in->size) return AVERROR(EINVAL);
  in->pos = target;
  return target;
}

bool container_supported(const AVInputFormat* format) {
  static constexpr std::string_view kNames[] = {
      "aac", "caf", "mp3", "aiff", "wav", "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "flac", "ogg"};
  const std::string_view name = format->name;
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

bool codec_supported(AVCodecID id) {
  if (id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT) return true;  // PCM family
  switch (id) {
    case AV_CODEC_ID_ADPCM_MS:
    case AV_CODEC_ID_ADPCM_IMA_WAV:
    case AV_CODEC_ID_ADPCM_IMA_QT:
    case AV_CODEC_ID_MP1:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_FLAC: return true;
    default: return false;
  }
}

void silence_library_logging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(nullptr);
  });
}

float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

// Sample `i` of channel `ch` as a full-scale float.
float sample_at(const AVFrame* f, int channels, int ch, int i) {
  const auto format = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const std::uint8_t* plane = planar ? f->extended_data[ch] : f->extended_data[0];
  const int index = planar ? i : i * channels + ch;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8: return (static_cast<float>(plane[index]) - 128.0f) / 128.0f;
    case AV_SAMPLE_FMT_S16:
      return static_cast<float>(reinterpret_cast<const std::int16_t*>(plane)[index]) / 32768.0f;
    case AV_SAMPLE_FMT_S32:
      return static_cast<float>(reinterpret_cast<const std::int32_t*>(plane)[index] / 2147483648.0);
    case AV_SAMPLE_FMT_S64:
      return static_cast<float>(static_cast<double>(reinterpret_cast<const std::int64_t*>(plane)[index]) /
                                9223372036854775808.0);
    case AV_SAMPLE_FMT_FLT: return finite_or_zero(reinterpret_cast<const float*>(plane)[index]);
    case AV_SAMPLE_FMT_DBL:
      return finite_or_zero(static_cast<float>(reinterpret_cast<const double*>(plane)[index]));
    default: return 0.0f;
  }
}

struct Decoder {
  MemoryInput input;
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;

  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (io != nullptr) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

// Appends the frame's first two channels (or its one channel twice).
void append_frame(const AVFrame* f, DecodedFrames& out) {
  const int channels = f->ch_layout.nb_channels;
  if (channels < 1 || f->nb_samples <= 0) return;
  if (f->sample_rate >= 8000) out.rate = static_cast<std::uint32_t>(f->sample_rate);
  const int right = channels >= 2 ? 1 : 0;
  const std::size_t base = out.stereo.size();
  out.stereo.resize(base + 2 * static_cast<std::size_t>(f->nb_samples));
  for (int i = 0; i < f->nb_samples; ++i) {
    const std::size_t at = base + 2 * static_cast<std::size_t>(i);
    out.stereo[at] = sample_at(f, channels, 0, i);
    out.stereo[at + 1] = sample_at(f, channels, right, i);
  }
}

// Takes every frame the decoder has ready; false on a failure other than a
// damaged packet or "need more input".
bool receive_frames(Decoder& d, DecodedFrames& out) {
  for (;;) {
    const int rc = avcodec_receive_frame(d.codec, d.frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc == AVERROR_INVALIDDATA) continue;
    if (rc < 0) return false;
    append_frame(d.frame, out);
    av_frame_unref(d.frame);
  }
}

}  // namespace

std::optional<DecodedFrames> decode_frames_in_process(std::span<const std::uint8_t> bytes) {
  silence_library_logging();
  if (bytes.empty()) return std::nullopt;
  Decoder d;
  d.input = MemoryInput{bytes.data(), static_cast<std::int64_t>(bytes.size()), 0};
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return std::nullopt;
  d.io = avio_alloc_context(buffer, kIoBufferSize, 0, &d.input, read_memory, nullptr, seek_memory);
  if (d.io == nullptr) {
    av_free(buffer);
    return std::nullopt;
  }
  const AVInputFormat* input_format = nullptr;
  if (av_probe_input_buffer2(d.io, &input_format, "", nullptr, 0, 0) < 0 || input_format == nullptr ||
      !container_supported(input_format)) {
    return std::nullopt;
  }
  d.format = avformat_alloc_context();
  if (d.format == nullptr) return std::nullopt;
  d.format->pb = d.io;
  d.format->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&d.format, nullptr, input_format, nullptr) < 0) return std::nullopt;
  avformat_find_stream_info(d.format, nullptr);  // best effort: some streams know their rate only after it

  int stream_index = -1;
  const AVCodec* codec = nullptr;
  for (unsigned i = 0; i < d.format->nb_streams; ++i) {
    const AVCodecParameters* par = d.format->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO || !codec_supported(par->codec_id)) continue;
    codec = avcodec_find_decoder(par->codec_id);
    if (codec != nullptr) {
      stream_index = static_cast<int>(i);
      break;
    }
  }
  if (stream_index < 0) return std::nullopt;
  AVStream* stream = d.format->streams[stream_index];
  d.codec = avcodec_alloc_context3(codec);
  if (d.codec == nullptr || avcodec_parameters_to_context(d.codec, stream->codecpar) < 0) {
    return std::nullopt;
  }
  d.codec->pkt_timebase = stream->time_base;
  if (avcodec_open2(d.codec, codec, nullptr) < 0) return std::nullopt;
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (d.packet == nullptr || d.frame == nullptr) return std::nullopt;

  DecodedFrames out;
  const int declared = stream->codecpar->sample_rate;
  out.rate = declared > 0 ? static_cast<std::uint32_t>(std::max(declared, 8000)) : 48000;
  bool decoding = true;
  while (decoding && av_read_frame(d.format, d.packet) >= 0) {
    if (d.packet->stream_index == stream_index) {
      const int rc = avcodec_send_packet(d.codec, d.packet);
      if (rc < 0 && rc != AVERROR_INVALIDDATA) decoding = false;
      if (decoding) decoding = receive_frames(d, out);
    }
    av_packet_unref(d.packet);
  }
  if (decoding && avcodec_send_packet(d.codec, nullptr) >= 0) receive_frames(d, out);
  if (out.stereo.empty()) return std::nullopt;
  return out;
}

std::vector<float> resample_linear_to_48k(std::span<const float> stereo, std::uint32_t rate) {
  const std::size_t frames = stereo.size() / 2;
  if (rate == 48000 || frames == 0) {
    const auto whole_frames = stereo.first(2 * frames);
    return std::vector<float>(whole_frames.begin(), whole_frames.end());
  }
  const std::uint64_t out_frames =
      std::max<std::uint64_t>(static_cast<std::uint64_t>(frames) * 48000 / rate, 1);
  std::vector<float> out(out_frames * 2);
  const double step = static_cast<double>(rate) / 48000.0;
  const std::size_t last = frames - 1;
  for (std::uint64_t k = 0; k < out_frames; ++k) {
    const double p = static_cast<double>(k) * step;
    const std::size_t i0 = std::min(static_cast<std::size_t>(p), last);
    const std::size_t i1 = std::min(i0 + 1, last);
    const float t = static_cast<float>(p - static_cast<double>(i0));
    for (std::size_t c = 0; c < 2; ++c) {
      const float a = stereo[2 * i0 + c];
      const float b = stereo[2 * i1 + c];
      out[2 * k + c] = a + (b - a) * t;
    }
  }
  return out;
}

std::optional<DecodedMedia> decode_with_symphonia(std::span<const std::uint8_t> bytes) {
  std::optional<DecodedFrames> frames = decode_frames_in_process(bytes);
  if (!frames) return std::nullopt;
  std::vector<float> samples = frames->rate == 48000 ? std::move(frames->stereo)
                                                     : resample_linear_to_48k(frames->stereo, frames->rate);
  normalize_loudness(samples);
  return make_decoded_media(std::move(samples));
}

}  // namespace melodara
