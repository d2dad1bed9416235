// The voice-calibration operations through the dispatcher, with no engine
// running (so no block is ever analysed): payload aliases and clamps, the
// answers' keys, start then finish, cancel, and the saved file.
#include <gtest/gtest.h>

#include "dispatch_fixture.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

class VoiceCalOps : public DispatchFixture {
 protected:
  std::uint64_t revision() { return ok("audio.status")["audioRevision"].get<std::uint64_t>(); }
};

TEST_F(VoiceCalOps, StartReadsTheWantedSecondsAndAnswersTheFreshStatus) {
  const float f16 = 1.6f;
  const std::pair<Json, float> cases[] = {
      {nullptr, 1.8f},
      {Json::object(), 1.8f},
      {{{"targetSec", 15}}, 1.8f},
      {{{"target_sec", 1.0}}, 1.5f},
      {{{"targetSec", 1.6}}, f16},
      {{{"targetSec", "20"}}, 1.8f},
      {{{"target_sec", "1.6"}, {"targetSec", 1.6}}, 1.8f},  // the first alias present decides
      {{{"target_sec", 1.6}, {"targetSec", 1.0}}, f16},
      {{{"target_sec", -1e300}}, 1.5f},
      {{{"target_sec", 1e300}}, 1.8f},
      {Json::array({1.6}), 1.8f},
  };
  for (const auto& [payload, target] : cases) {
    const std::uint64_t before = revision();
    const Json answer = ok("tunewerk.voice-cal.start", payload);
    EXPECT_EQ(revision(), before + 1) << payload.dump();
    EXPECT_EQ(keys_of(answer), (std::vector<std::string>{"ok", "voiceCal"}));
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["voiceCal"]["target_voice_sec"].get<double>(), static_cast<double>(target))
        << payload.dump();
  }

  const Json status = ok("tunewerk.voice-cal.start")["voiceCal"];
  EXPECT_EQ(keys_of(status), (std::vector<std::string>{"accumulated_voice_sec",
                                                       "active",
                                                       "avg_f0_hz",
                                                       "avg_noise_floor_db",
                                                       "avg_speech_rms_db",
                                                       "band_energy_acc",
                                                       "band_pct",
                                                       "completed",
                                                       "detected_gender",
                                                       "detected_timbre",
                                                       "max_f0_hz",
                                                       "min_f0_hz",
                                                       "noise_frames",
                                                       "peak_speech_db",
                                                       "recommendation_summary",
                                                       "recommended_profile",
                                                       "sibilance_ratio",
                                                       "speaking_now",
                                                       "target_voice_sec",
                                                       "total_elapsed_sec",
                                                       "voice_frames",
                                                       "voice_gate_thresh_db"}));
  const Json fresh = Json::parse(R"({
    "accumulated_voice_sec": 0.0, "active": true, "avg_f0_hz": 0.0, "avg_noise_floor_db": -58.0,
    "avg_speech_rms_db": -36.0,
    "band_energy_acc": [9.999999974752427e-7, 9.999999974752427e-7, 9.999999974752427e-7,
                        9.999999974752427e-7, 9.999999974752427e-7, 9.999999974752427e-7],
    "band_pct": [16.600000381469727, 16.600000381469727, 16.600000381469727, 16.600000381469727,
                 16.600000381469727, 16.600000381469727],
    "completed": false, "detected_gender": "Chưa đo", "detected_timbre": "Đang chờ giọng nói...",
    "max_f0_hz": 0.0, "min_f0_hz": 999.0, "noise_frames": 0, "peak_speech_db": -60.0,
    "recommendation_summary": "Chỉ cần alo hoặc hát thử 1-2 câu ngắn (~2 giây) để AI bắt bệnh mic và cân chỉnh tự động.",
    "recommended_profile": "Default", "sibilance_ratio": 0.11999999731779099, "speaking_now": false,
    "target_voice_sec": 1.7999999523162842, "total_elapsed_sec": 0.0, "voice_frames": 0,
    "voice_gate_thresh_db": -50.0})");
  EXPECT_EQ(to_json_text(status), to_json_text(fresh));
}

TEST_F(VoiceCalOps, StatusAndIdleFinishChangeNothing) {
  const std::uint64_t before = revision();
  const Json status = ok("tunewerk.voice-cal.status");
  EXPECT_EQ(keys_of(status), (std::vector<std::string>{"ok", "params", "voiceCal", "voiceProfile"}));
  EXPECT_EQ(status["voiceProfile"], "Giong Nam");
  EXPECT_EQ(status["params"], ok("tunewerk.dsp.get")["params"]);
  EXPECT_EQ(status["voiceCal"]["active"], false);
  EXPECT_EQ(ok("tunewerk.voice-cal.finish"), status);
  EXPECT_EQ(revision(), before);
  EXPECT_FALSE(fs::exists(folders.home / ".config"));
}

TEST_F(VoiceCalOps, StartThenFinishGivesTheDerivedProfile) {
  ok("audio.set-mixer", {{"micGain", 1.7}});
  ok("tunewerk.dsp.set",
     {{"reverb_enabled", false}, {"ngan_giong_vibrato", true}, {"chong_be_harmony", true}});
  const Json before = ok("tunewerk.dsp.get")["params"];
  const std::uint64_t revision_before = revision();
  ok("tunewerk.voice-cal.start", {{"targetSec", 1.6}});
  // A second start during the run keeps the singer's switches.
  ok("tunewerk.voice-cal.start", {{"targetSec", 1.6}});
  const Json done = ok("tunewerk.voice-cal.finish");
  EXPECT_EQ(revision(), revision_before + 3);

  const Json& cal = done["voiceCal"];
  EXPECT_EQ(cal["active"], false);
  EXPECT_EQ(cal["completed"], true);
  EXPECT_EQ(cal["accumulated_voice_sec"].get<float>(), 1.6f);
  EXPECT_EQ(cal["detected_gender"], "Giọng Nam Trung / Cao (135 Hz)");
  EXPECT_EQ(cal["detected_timbre"], "nền trầm ấm cân bằng, độ sáng mượt ấm áp");
  EXPECT_EQ(cal["recommended_profile"], "My Vocal");
  EXPECT_EQ(cal["recommendation_summary"],
            "Đã tối ưu [⭐ Hồ Sơ Giọng Của Tôi (My Vocal)] (Giong Nam): F0 135Hz | Trim +6.8dB | "
            "LowCut 82Hz | DeEsser 65% | EQ 6 dải [-1.0, +0.4, +0.0, +0.0, -1.2, -1.5] dB "
            "(nền trầm ấm cân bằng, độ sáng mượt ấm áp)");
  EXPECT_EQ(done["voiceProfile"], "My Vocal");

  const Json& p = done["params"];
  for (const char* restored :
       {"reverb_enabled", "autotune_enabled", "ngan_giong_vibrato", "chong_be_harmony", "tc_mute_all_sends"})
    EXPECT_EQ(p[restored], before[restored]) << restored;
  EXPECT_EQ(p["delay_enabled"], false);
  EXPECT_EQ(p["tc_voice_profile"], 2);
  EXPECT_EQ(p["mic_input_trim_db"].get<float>(), 6.8f);
  EXPECT_EQ(p["vocal_gain"], 1.0);
  EXPECT_EQ(ok("audio.status")["mixer"]["micGain"], 1.0);

  // The file holds what the answer shows, and "My Vocal" reads it back.
  const Json file =
      Json::parse(test::read_text(folders.home / ".config/Melodara/Tunewerk_Saved_VoiceProfile.json"));
  EXPECT_EQ(file["dsp_params"], p);
  EXPECT_EQ(file["voice_cal_summary"]["recommendation_summary"], cal["recommendation_summary"]);
  EXPECT_EQ(file["voice_cal_summary"]["avg_f0_hz"], 0.0);

  ok("tunewerk.dsp.set", {{"lowcut_freq_hz", 70.0}, {"delay_enabled", true}});
  const Json applied = ok("tunewerk.dsp.voice-profile", {{"profile", "my_vocal"}})["params"];
  EXPECT_EQ(applied["lowcut_freq_hz"], p["lowcut_freq_hz"]);
  EXPECT_EQ(applied["delay_enabled"], false);
}

TEST_F(VoiceCalOps, CancelRestoresTheSwitchesTrimAndBands) {
  const Json set = {{"reverb_enabled", true},   {"delay_enabled", true},
                    {"autotune_enabled", true}, {"ngan_giong_vibrato", true},
                    {"chong_be_harmony", true}, {"tc_mute_all_sends", false},
                    {"mic_input_trim_db", 2.5}, {"mic_corr_eq_db", {1, -1, 0.5, -0.5, 0.25, 1.5}}};
  ok("tunewerk.dsp.set", set);
  const Json before = ok("tunewerk.dsp.get")["params"];
  const Json started = ok("tunewerk.voice-cal.start");
  EXPECT_EQ(started["voiceCal"]["active"], true);
  EXPECT_EQ(ok("tunewerk.dsp.get")["params"]["reverb_enabled"], false);

  const std::uint64_t revision_before = revision();
  const Json cancelled = ok("tunewerk.voice-cal.cancel");
  EXPECT_EQ(keys_of(cancelled), (std::vector<std::string>{"ok", "voiceCal"}));
  EXPECT_EQ(cancelled["voiceCal"]["active"], false);
  EXPECT_EQ(cancelled["voiceCal"]["completed"], false);
  EXPECT_EQ(revision(), revision_before + 1);
  EXPECT_EQ(ok("tunewerk.dsp.get")["params"], before);
}

}  // namespace
}  // namespace melodara
