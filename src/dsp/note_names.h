#pragma once
// The twelve note names of the service's key texts, sharps only, from "C".
// Any thread.
#include <array>
#include <string_view>

namespace melodara {

inline constexpr std::array<std::string_view, 12> kNoteNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                                "F#", "G",  "G#", "A",  "A#", "B"};

}  // namespace melodara
