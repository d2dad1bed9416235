#include "media/inprocess_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "media/linear_resampler.h"
#include "media/loudness.h"
#include "media/pcm_samples.h"

namespace melodara {
namespace {

constexpr int kIoBufferSize = 32768;
// No single allocation of the library needs more for the files we take (the
// biggest are sample tables and cover art); a header claiming more is a lie.
constexpr std::size_t kMaxLibraryAllocation = 64u << 20;
constexpr std::uint32_t kPacketsPerCancelCheck = 16;

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

void prepare_library() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(nullptr);
    av_max_alloc(kMaxLibraryAllocation);
  });
}

struct Decoder {
  MemoryInput input;
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVStream* stream = nullptr;
  const AVCodec* decoder = nullptr;

  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (io != nullptr) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

// Probes the bytes, opens a container we take and finds its first audio
// stream with a codec we take.
bool open_audio_stream(Decoder& d, std::span<const std::uint8_t> bytes) {
  prepare_library();
  if (bytes.empty()) return false;
  d.input = MemoryInput{bytes.data(), static_cast<std::int64_t>(bytes.size()), 0};
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return false;
  d.io = avio_alloc_context(buffer, kIoBufferSize, 0, &d.input, read_memory, nullptr, seek_memory);
  if (d.io == nullptr) {
    av_free(buffer);
    return false;
  }
  const AVInputFormat* input_format = nullptr;
  if (av_probe_input_buffer2(d.io, &input_format, "", nullptr, 0, 0) < 0 || input_format == nullptr ||
      !container_supported(input_format)) {
    return false;
  }
  d.format = avformat_alloc_context();
  if (d.format == nullptr) return false;
  d.format->pb = d.io;
  d.format->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&d.format, nullptr, input_format, nullptr) < 0) return false;
  avformat_find_stream_info(d.format, nullptr);  // best effort: some streams know their rate only after it

  for (unsigned i = 0; i < d.format->nb_streams; ++i) {
    const AVCodecParameters* par = d.format->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO || !codec_supported(par->codec_id)) continue;
    if (const AVCodec* codec = avcodec_find_decoder(par->codec_id)) {
      d.stream = d.format->streams[i];
      d.decoder = codec;
      return true;
    }
  }
  return false;
}

std::optional<double> declared_seconds(const Decoder& d) {
  if (d.stream->duration > 0 && d.stream->time_base.den > 0) {
    return static_cast<double>(d.stream->duration) * av_q2d(d.stream->time_base);
  }
  if (d.format->duration > 0) return static_cast<double>(d.format->duration) / AV_TIME_BASE;
  return std::nullopt;
}

float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

// Interleaves channel 0 and channel `right` of the frame through `conv`.
template <class T, class Conv>
void interleave(const AVFrame* f, int channels, bool planar, Conv conv, float* out) {
  const int n = f->nb_samples;
  const int right = channels >= 2 ? 1 : 0;
  if (planar) {
    const T* l = reinterpret_cast<const T*>(f->extended_data[0]);
    const T* r = reinterpret_cast<const T*>(f->extended_data[right]);
    for (int i = 0; i < n; ++i) {
      out[2 * i] = conv(l[i]);
      out[2 * i + 1] = conv(r[i]);
    }
  } else {
    const T* p = reinterpret_cast<const T*>(f->extended_data[0]);
    for (int i = 0; i < n; ++i) {
      out[2 * i] = conv(p[i * channels]);
      out[2 * i + 1] = conv(p[i * channels + right]);
    }
  }
}

// The frame as stereo floats in full scale (unsigned formats centred); the
// sample format is chosen once per frame. False for an empty frame.
bool convert_frame(const AVFrame* f, std::vector<float>& out) {
  const int channels = f->ch_layout.nb_channels;
  if (channels < 1 || f->nb_samples <= 0) return false;
  out.resize(2 * static_cast<std::size_t>(f->nb_samples));
  const auto format = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  float* o = out.data();
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
      interleave<std::uint8_t>(
          f, channels, planar, [](std::uint8_t v) { return (static_cast<float>(v) - 128.0f) / 128.0f; }, o);
      break;
    case AV_SAMPLE_FMT_S16:
      interleave<std::int16_t>(
          f, channels, planar, [](std::int16_t v) { return static_cast<float>(v) / 32768.0f; }, o);
      break;
    case AV_SAMPLE_FMT_S32:
      interleave<std::int32_t>(
          f, channels, planar, [](std::int32_t v) { return static_cast<float>(v / 2147483648.0); }, o);
      break;
    case AV_SAMPLE_FMT_S64:
      interleave<std::int64_t>(
          f, channels, planar,
          [](std::int64_t v) { return static_cast<float>(static_cast<double>(v) / 9223372036854775808.0); },
          o);
      break;
    case AV_SAMPLE_FMT_FLT: interleave<float>(f, channels, planar, finite_or_zero, o); break;
    case AV_SAMPLE_FMT_DBL:
      interleave<double>(
          f, channels, planar, [](double v) { return finite_or_zero(static_cast<float>(v)); }, o);
      break;
    default: std::fill(out.begin(), out.end(), 0.0f); break;
  }
  return true;
}

// Turns decoded frames into the track: each frame converted, resampled from
// its own rate and appended to the bounded output.
class FrameSink {
 public:
  FrameSink(std::uint32_t working_rate, BoundedSamples& out) : resampler_(working_rate), out_(out) {}

  // False once the output would pass its bound.
  bool take(const AVFrame* f) {
    if (f->sample_rate >= 8000 && static_cast<std::uint32_t>(f->sample_rate) != resampler_.rate()) {
      // A rate change starts a new stretch, resampled from its own rate.
      if (!resampler_.empty() && !resampler_.finish(out_)) return false;
      resampler_ = LinearResampler(static_cast<std::uint32_t>(f->sample_rate));
    }
    if (!convert_frame(f, converted_)) return true;
    return resampler_.push(converted_, out_);
  }
  bool finish() { return resampler_.finish(out_); }

 private:
  LinearResampler resampler_;
  BoundedSamples& out_;
  std::vector<float> converted_;
};

enum class Step { More, Stop, Refused };

// Takes every frame the decoder has ready: More after "need more input",
// Stop on a failure other than a damaged packet, Refused past the bound.
Step receive_frames(Decoder& d, FrameSink& sink) {
  for (;;) {
    const int rc = avcodec_receive_frame(d.codec, d.frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return Step::More;
    if (rc == AVERROR_INVALIDDATA) continue;
    if (rc < 0) return Step::Stop;
    const bool kept = sink.take(d.frame);
    av_frame_unref(d.frame);
    if (!kept) return Step::Refused;
  }
}

}  // namespace

std::optional<double> probe_media_seconds(std::span<const std::uint8_t> bytes) {
  Decoder d;
  if (!open_audio_stream(d, bytes)) return std::nullopt;
  return declared_seconds(d);
}

std::optional<AudioFileProbe> probe_audio_file(const std::filesystem::path& path) {
  prepare_library();
  AVFormatContext* format = nullptr;
  // "file:" keeps a name with a colon from being read as another protocol.
  const std::string url = "file:" + path.string();
  if (avformat_open_input(&format, url.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(&format, avformat_close_input);
  if (!container_supported(format->iformat)) return std::nullopt;
  avformat_find_stream_info(format, nullptr);
  AudioFileProbe probe;
  probe.streams = format->nb_streams;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++probe.audio_streams;
  }
  // The packets that can be read, not what the header declares: a file cut
  // short after its index still declares its whole length.
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return std::nullopt;
  while (av_read_frame(format, packet) >= 0) {
    const AVStream* stream = format->streams[packet->stream_index];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && packet->pts != AV_NOPTS_VALUE) {
      const double end = static_cast<double>(packet->pts + packet->duration) * av_q2d(stream->time_base);
      probe.seconds = std::max(probe.seconds, end);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return probe;
}

bool share_copy_plays(const std::filesystem::path& path, double mix_seconds) {
  const auto probe = probe_audio_file(path);
  // A header alone declares no packets: 0 seconds, which passes the bound of a short take.
  return probe && probe->streams == 1 && probe->audio_streams == 1 && probe->seconds > 0.0 &&
         std::abs(probe->seconds - mix_seconds) <= 0.5;
}

std::expected<std::vector<float>, DecodeFailure> decode_samples_in_process(
    std::span<const std::uint8_t> bytes, const MediaLimits& limits) {
  Decoder d;
  if (!open_audio_stream(d, bytes)) return std::unexpected(DecodeFailure::Refused);
  d.codec = avcodec_alloc_context3(d.decoder);
  if (d.codec == nullptr) return std::unexpected(DecodeFailure::Unavailable);
  if (avcodec_parameters_to_context(d.codec, d.stream->codecpar) < 0) {
    return std::unexpected(DecodeFailure::Refused);
  }
  d.codec->pkt_timebase = d.stream->time_base;
  if (avcodec_open2(d.codec, d.decoder, nullptr) < 0) return std::unexpected(DecodeFailure::Refused);
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (d.packet == nullptr || d.frame == nullptr) return std::unexpected(DecodeFailure::Unavailable);

  const int declared = d.stream->codecpar->sample_rate;
  const std::uint32_t working_rate =
      declared > 0 ? static_cast<std::uint32_t>(std::max(declared, 8000)) : 48000;
  BoundedSamples out(limits.max_track_samples(),
                     reserve_samples_for(declared_seconds(d), bytes.size(), limits));
  FrameSink sink(working_rate, out);
  const int stream_index = d.stream->index;
  Step step = Step::More;
  std::uint32_t packets = 0;
  while (step == Step::More && av_read_frame(d.format, d.packet) >= 0) {
    if (d.packet->stream_index == stream_index) {
      const int rc = avcodec_send_packet(d.codec, d.packet);
      step = rc < 0 && rc != AVERROR_INVALIDDATA ? Step::Stop : receive_frames(d, sink);
    }
    av_packet_unref(d.packet);
    // A few milliseconds of decoding between checks: a check may take locks.
    if (++packets % kPacketsPerCancelCheck == 0 && load_cancelled(limits)) {
      return std::unexpected(DecodeFailure::Cancelled);
    }
  }
  if (step == Step::More && avcodec_send_packet(d.codec, nullptr) >= 0) step = receive_frames(d, sink);
  if (step == Step::Refused || !sink.finish()) return std::unexpected(DecodeFailure::Unavailable);
  if (out.size() == 0) return std::unexpected(DecodeFailure::Refused);
  return std::move(out).take();
}

std::optional<DecodedMedia> decode_with_symphonia(std::span<const std::uint8_t> bytes,
                                                  const MediaLimits& limits) {
  auto samples = decode_samples_in_process(bytes, limits);
  if (!samples) return std::nullopt;
  return media_from_pcm(std::move(*samples), false);
}

}  // namespace melodara
