#pragma once
// The in-process decoder: FFmpeg's demuxers and decoders reading the file from
// memory, limited to the containers (ADTS AAC, CAF, MPEG audio, AIFF, WAV,
// MP4/M4A/MOV, Matroska/WebM, FLAC, Ogg) and codecs (PCM, MS and IMA ADPCM,
// MP1/2/3, AAC, ALAC, Vorbis, FLAC) the player takes. Channel selection and
// linear resampling to 48 kHz are our own; FFmpeg's logging is silenced.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/decoded_media.h"

namespace melodara {

// Stereo frames at the stream's own rate, before resampling and normalisation.
struct DecodedFrames {
  std::vector<float> stereo;  // left, right, ...
  std::uint32_t rate = 48000;
};

// Demuxes and decodes the first supported audio track; none when nothing decodes.
// Thread: any. Allocates: yes. Blocks: CPU only.
std::optional<DecodedFrames> decode_frames_in_process(std::span<const std::uint8_t> bytes);

// Linear resampling of stereo frames from `rate` to 48,000 Hz (at least one frame).
// Thread: any. Allocates: yes. Blocks: CPU only.
std::vector<float> resample_linear_to_48k(std::span<const float> stereo, std::uint32_t rate);

// Decodes, resamples and normalises: a finished track, or none.
// Thread: any. Allocates: yes. Blocks: CPU only.
std::optional<DecodedMedia> decode_with_symphonia(std::span<const std::uint8_t> bytes);

}  // namespace melodara
