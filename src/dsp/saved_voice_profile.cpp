#include "dsp/saved_voice_profile.h"

namespace melodara {

std::optional<std::string> load_saved_voice_profile(DspParams&) { return std::nullopt; }

}  // namespace melodara
