// What a track's title says about its tempo and key. Vietnamese karaoke
// titles often carry them: "Beat 128 BPM", "Tone Am", "Tông C", "[f#m]".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace melodara {

// The first tempo from 55 to 190 BPM that a "bpm" token states: "bpm120", or
// a number beside a lone "bpm" (the one before it first). Tokens are runs of
// ASCII letters and digits of the lower-cased title; a digit run of any
// length reads without overflow. Thread: any. Allocates: yes. Blocks: no.
std::optional<std::uint32_t> title_tempo(std::string_view title);

// The key a title names ("tone c#m", "tông g", "[am]", "(tone d)"), as a
// short sharp key name ("C#m", "G", "Am", "D"). A pattern counts only with no
// letter (of any script) right before it and neither a letter nor "#" right
// after it; phrases naming a singing register ("tone nam", "tông nữ", ...) are
// never read as keys. Thread: any. Allocates: yes. Blocks: no.
std::optional<std::string> title_key(std::string_view title);

}  // namespace melodara
