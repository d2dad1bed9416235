#pragma once
// Decoding through the ffmpeg program (f32le, stereo, 48 kHz on its standard
// output), with the fallbacks behind it: afconvert, then the in-process decoder.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/process_runner.h"
#include "media/decoded_media.h"

namespace melodara {

// f32le bytes to a track: none below 8 bytes or one frame; NaN and infinity
// become 0; normalised unless `already_normalized`. A trailing partial float is
// dropped, an odd trailing sample kept.
// Thread: any. Allocates: the samples.
std::optional<DecodedMedia> pcm_from_f32le(std::span<const std::uint8_t> bytes, bool already_normalized);

// "ffmpeg" with the 16-argument f32le list on `input` (a path, an address or "pipe:0").
Command ffmpeg_decode_command(std::string_view input);

// ffmpeg on the path or address; else the source's bytes (file read, or curl
// for a web source) through afconvert and then the in-process decoder.
// Thread: any (load job or worker). Blocks: runs ffmpeg to its end; curl up to 65 s.
std::optional<DecodedMedia> decode_source_ffmpeg(const std::string& source);

// ffmpeg fed the bytes on standard input; else afconvert; else the in-process
// decoder (whose samples come back already normalised). Returns f32le bytes.
// Thread: any. Blocks: runs ffmpeg to its end.
std::optional<std::vector<std::uint8_t>> decode_bytes_ffmpeg(std::span<const std::uint8_t> bytes);

}  // namespace melodara
