#pragma once
// Decoding through the ffmpeg program (f32le, stereo, 48 kHz on its standard
// output, read straight into the track's buffer up to the track bound), with
// the fallbacks behind it: afconvert, then the in-process decoder. A local
// source is only ever a regular file, given to ffmpeg as a "file:" input so no
// other protocol can open it; a web address is decoded under a time limit.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/process_runner.h"
#include "media/decoded_media.h"
#include "media/media_limits.h"
#include "media/pcm_samples.h"

namespace melodara {

// "ffmpeg" with the 16-argument f32le list on `input` (a "file:" path, an
// address or "pipe:0").
Command ffmpeg_decode_command(std::string_view input);

// ffmpeg on the path or web address; else the source's bytes (a regular file
// read, or curl for a web source) through afconvert and then the in-process
// decoder. A path that is not a regular file decodes to none at once; so does
// a cancelled load, at its next step.
// Thread: any (load job or worker). Blocks: ffmpeg to its end on a file, up to
// the web-decode limit on an address; curl up to its limit.
// Allocates: yes (the track).
std::optional<DecodedMedia> decode_source_ffmpeg(const std::string& source, const MediaLimits& limits = {});

// ffmpeg fed the bytes on standard input; else afconvert; else the in-process
// decoder. The samples are never normalised here, whichever decoder served,
// so the caller normalises them exactly once. Fails Refused only when both
// ffmpeg and the in-process decoder ran on the bytes and refused them;
// Unavailable when one could not judge (no ffmpeg, one that could not run or
// was killed, the track bound); Cancelled as soon as the load's check says so.
// Thread: any. Blocks: runs ffmpeg to its end, or until cancelled.
// Allocates: yes (the samples).
std::expected<std::vector<float>, DecodeFailure> decode_bytes_ffmpeg(std::span<const std::uint8_t> bytes,
                                                                     const MediaLimits& limits = {});

}  // namespace melodara
