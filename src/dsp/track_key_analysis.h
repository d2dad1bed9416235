#pragma once
// The offline key and tempo estimate of a decoded track, from the whole track
// and its title, run once before the track plays (by a load job, the cache
// backfill, or a request to recalculate the key).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace melodara {

struct TrackKeyAnalysis {
  std::optional<std::string> key_label;  // "F#m", "A", or the title's own key token
  std::string normalized_key;            // "F# Minor"
  std::uint64_t root = 0;                // pitch class, C = 0
  std::uint8_t minor = 0;
  std::uint32_t bpm = 92;  // 60..142 from the audio, or the title's
};

// Key and tempo of interleaved stereo samples at 48 kHz. A key or tempo that
// the title states wins; otherwise the key comes from the chroma of up to
// three long stretches at 12 kHz (no key when nothing in them is audible) and
// the tempo from their onsets (92 BPM without a beat). A track under 3 s is
// not listened to: its title's key, or none at all.
// Thread: any but the engine's. Allocates: yes. Blocks: CPU only.
std::optional<TrackKeyAnalysis> analyze_track_key_bpm(std::span<const float> samples, std::string_view title);

}  // namespace melodara
