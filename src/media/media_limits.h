#pragma once
// The bounds of media loading: how long a decoded track may be, how many bytes
// of a fetched source are held in memory, and the time limit of every child
// process run for a load. Tests pass smaller values; the service uses these.
#include <chrono>
#include <cstdint>
#include <functional>

#include "core/process_runner.h"
#include "media/decoded_media.h"

namespace melodara {

struct MediaLimits {
  // 60 minutes at 48 kHz: long medleys stay playable (1.4 GB of samples); a
  // longer decode is refused, and every decoder stops reading at this bound.
  std::uint64_t max_track_frames = 60ull * 60 * kMediaSampleRate;
  // Fetched or cached source bytes held in memory: the size of 60 minutes of
  // 16-bit stereo at 48 kHz, more than any compressed source of a track within
  // the bound needs.
  std::uint64_t max_source_bytes = 60ull * 60 * kMediaSampleRate * 2 * 2;
  // Text that a tool prints (paths, addresses).
  std::uint64_t max_tool_text_bytes = 1 << 20;

  std::chrono::milliseconds download_limit{std::chrono::seconds(90)};         // yt-dlp audio and video
  std::chrono::milliseconds ranged_fetch_limit{std::chrono::seconds(65)};     // curl of a direct address
  std::chrono::milliseconds stdout_download_limit{std::chrono::seconds(75)};  // yt-dlp to standard output
  std::chrono::milliseconds video_download_limit{std::chrono::seconds(75)};   // clip video
  std::chrono::milliseconds resolve_limit{std::chrono::seconds(30)};          // yt-dlp -g
  std::chrono::milliseconds fetch_limit{std::chrono::seconds(65)};            // the decoder's curl fallback
  // ffmpeg decoding a web address: long enough for a slow long source.
  std::chrono::milliseconds web_decode_limit{std::chrono::minutes(5)};

  // A second download of a clip video waits for the first this often, this long.
  std::chrono::milliseconds video_wait_interval{250};
  int video_wait_polls = 100;

  // True once the load is no longer wanted (a cancelled or superseded job):
  // its children are killed and the in-process decoder stops. Loads that
  // cannot be cancelled have none. Called on the load's thread.
  std::function<bool()> cancelled{};

  std::uint64_t max_track_samples() const { return max_track_frames * kMediaChannels; }
};

// True when the limits carry a cancellation check that says so.
// Thread: the load's. Allocates: no. Blocks: as the check.
bool load_cancelled(const MediaLimits& limits);

// Why a decode gave no samples: the bytes were refused as not decodable, a
// decoder could not judge them (missing program, the track bound, a failed
// run), or the load was cancelled.
enum class DecodeFailure { Refused, Unavailable, Cancelled };

// A network tool's run (yt-dlp, curl): the time limit, at most `max_stdout`
// bytes of standard output, the tool-text bound on standard error, and the
// load's cancellation check.
// Thread: any. Allocates: no.
RunOptions tool_run_options(std::chrono::milliseconds limit, std::uint64_t max_stdout,
                            const MediaLimits& limits);

}  // namespace melodara
