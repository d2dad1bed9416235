#include "dsp/voice_profiles.h"

#include <cstdint>

#include "dsp/saved_voice_profile.h"

namespace melodara {
namespace {

// One column of the profile table; the other tone fields are shared by all three.
struct ProfileFields {
  std::uint8_t tc_voice_profile;
  float tc_formant_scale;
  float tc_rbass_freq_hz;
  float tc_rbass_intensity;
  float lowcut_freq_hz;
};

constexpr ProfileFields kFemale{0, 1.0f, 115.0f, 0.24f, 95.0f};
constexpr ProfileFields kDefault{1, 0.96f, 110.0f, 0.26f, 88.0f};
constexpr ProfileFields kMale{2, 0.9f, 110.0f, 0.24f, 86.0f};

}  // namespace

VoiceProfileGroup voice_profile_group(std::string_view profile) {
  if (profile == "nu" || profile == "alto" || profile == "female" || profile == "nu_tram" ||
      profile == "Giong Nu")
    return VoiceProfileGroup::Female;
  if (profile == "Default" || profile == "default") return VoiceProfileGroup::Default;
  if (profile == "My Vocal" || profile == "my_vocal") return VoiceProfileGroup::Saved;
  return VoiceProfileGroup::Male;
}

std::string_view voice_profile_label(VoiceProfileGroup group) {
  switch (group) {
    case VoiceProfileGroup::Female: return "Giong Nu";
    case VoiceProfileGroup::Default: return "Default";
    case VoiceProfileGroup::Saved: return "My Vocal";
    case VoiceProfileGroup::Male: break;
  }
  return "Giong Nam";
}

void apply_voice_profile_params(DspParams& p, VoiceProfileGroup group) {
  if (group == VoiceProfileGroup::Saved) {
    load_saved_voice_profile(p);
    return;
  }
  const ProfileFields& g = group == VoiceProfileGroup::Female    ? kFemale
                           : group == VoiceProfileGroup::Default ? kDefault
                                                                 : kMale;
  p.tc_voice_profile = g.tc_voice_profile;
  p.tc_formant_scale = g.tc_formant_scale;
  // Only the default voice resets the input trim.
  if (group == VoiceProfileGroup::Default) p.mic_input_trim_db = 0.0f;
  p.tc_rbass_enabled = true;
  p.tc_rbass_freq_hz = g.tc_rbass_freq_hz;
  p.tc_rbass_intensity = g.tc_rbass_intensity;
  p.tc_pultronic_drive = 0.24f;
  p.air_gain_db = 2.2f;
  p.lowcut_freq_hz = g.lowcut_freq_hz;
  p.eq_low_db = 0.0f;
  p.eq_mid_db = 0.0f;
  p.eq_high_db = 0.0f;
  p.deesser_amount = 0.55f;
  p.tc_vang_ngan_level = 0.48f;
  p.mic_corr_eq_db.fill(0.0f);
}

}  // namespace melodara
