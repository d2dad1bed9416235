#pragma once
// Keeps the system's default devices on real hardware: the default output
// (and the sound-effects output) moves to the output the host asked for, or
// away from a virtual route device; the default input moves away from the
// service's own virtual microphone. Works on the system audio object directly.
#include <string_view>

#include "platform/audio_system.h"

namespace melodara {

// Every failure is silent. Thread: engine (set-up phases only).
// Blocks: on the system object. Allocates: yes.
void ensure_system_default_devices(AudioSystem& system, std::string_view requested_input,
                                   std::string_view requested_output);

}  // namespace melodara
