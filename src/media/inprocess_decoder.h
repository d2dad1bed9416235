#pragma once
// The in-process decoder: FFmpeg's demuxers and decoders reading the file from
// memory, limited to the containers (ADTS AAC, CAF, MPEG audio, AIFF, WAV,
// MP4/M4A/MOV, Matroska/WebM, FLAC, Ogg) and codecs (PCM, MS and IMA ADPCM,
// MP1/2/3, AAC, ALAC, Vorbis, FLAC) the player takes. Channel selection and
// linear resampling to 48 kHz are our own, done frame by frame straight into
// the track's buffer, which is reserved from the stream's duration. FFmpeg's
// logging is silenced and its single allocations are bounded, so a small
// hostile file cannot make it reserve hundreds of megabytes.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "media/decoded_media.h"
#include "media/media_limits.h"

namespace melodara {

// Decodes the first supported audio track to stereo at 48 kHz, not yet
// normalised. Fails Refused when nothing decodes, Unavailable when the track
// passes the bound of `limits` (decoding stops there), Cancelled when the
// load's check says so between packets.
// Thread: any. Blocks: CPU only.
// Allocates: yes (the samples).
std::expected<std::vector<float>, DecodeFailure> decode_samples_in_process(
    std::span<const std::uint8_t> bytes, const MediaLimits& limits = {});

// Decodes, resamples and normalises: a finished track, or none.
// Thread: any. Blocks: CPU only.
// Allocates: yes (the track).
std::optional<DecodedMedia> decode_with_symphonia(std::span<const std::uint8_t> bytes,
                                                  const MediaLimits& limits = {});

// The duration the container declares (or estimates) for its first supported
// audio track, in seconds; none when it cannot be opened or says nothing.
// Thread: any. Blocks: CPU only.
// Allocates: yes (the demuxer).
std::optional<double> probe_media_seconds(std::span<const std::uint8_t> bytes);

// What the demuxer finds in a file.
struct AudioFileProbe {
  unsigned streams = 0;  // of every kind
  unsigned audio_streams = 0;
  double seconds = 0.0;  // to the end of the last audio packet that reads
};

// Opens the file (a container of the list above) and reads its packets through
// without decoding; none when it does not open.
// Thread: any. Blocks: file I/O.
// Allocates: yes (the demuxer; one packet at a time).
std::optional<AudioFileProbe> probe_audio_file(const std::filesystem::path& path);

// Whether an AAC copy made of a mix of `mix_seconds` is whole: ffmpeg can exit
// with 0 and leave a file cut short (a full disk under its index, a stand-in),
// so it must hold one stream, of audio, whose packets read for more than zero
// seconds and within half a second of the mix.
// Thread: any. Blocks: file I/O.
// Allocates: yes (the demuxer; one packet at a time).
bool share_copy_plays(const std::filesystem::path& path, double mix_seconds);

}  // namespace melodara
