// Voice calibration of the built service on the simulated hardware: a steady
// voiced tone on the microphone completes a run on the engine, the profile file
// appears in the home folder, and the next start-up applies it; saved profile
// files placed before the start are applied with their clamps.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/json_writer.h"
#include "service_process.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ServiceOptions;
using testing::ServiceProcess;

constexpr const char* kProfilePath = ".config/Melodara/Tunewerk_Saved_VoiceProfile.json";

// A float parameter as the service writes it: the nearest float, widened.
Json f(double value) { return Json(static_cast<double>(static_cast<float>(value))); }

// Polls `operation` until `done` holds for its result or the deadline passes.
template <class Done>
Json wait_for(ServiceProcess& service, const std::string& operation, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  Json result = service.call(operation);
  while (!done(result) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    result = service.call(operation);
  }
  return result;
}

// The microphone plays a 200 Hz sine with peaks at -20 dBFS.
class ToneDevices {
 public:
  ToneDevices() {
    test::write_text(dir / "devices.json", R"({"devices": [
      {"name": "MacBook Pro Microphone", "inputChannels": 1, "transport": "builtin",
       "source": {"type": "sine", "frequency": 200, "level": 0.1}},
      {"name": "MacBook Pro Speakers", "outputChannels": 2, "transport": "builtin"}]})");
  }
  ServiceOptions options(std::map<std::string, std::string> env = {}) const {
    env["MELODARA_SIM_DEVICES"] = (dir / "devices.json").string();
    return ServiceOptions{std::move(env), {}};
  }

 private:
  test::TempDir dir;
};

TEST(VoiceCalService, SteadyToneCompletesAndTheNextStartAppliesTheProfile) {
  ToneDevices devices;
  ServiceProcess first(devices.options());
  // The engine hears the tone before the run starts.
  const Json telemetry = wait_for(first, "tunewerk.dsp.telemetry", [](const Json& r) {
    return r["telemetry"]["detected_vocal_hz"].is_number() &&
           r["telemetry"]["detected_vocal_hz"].get<double>() > 150.0;
  });
  ASSERT_GT(telemetry["telemetry"]["detected_vocal_hz"].get<double>(), 150.0);

  EXPECT_EQ(first.call("tunewerk.voice-cal.start", {{"targetSec", 15}})["voiceCal"]["active"], true);
  const Json done = wait_for(first, "tunewerk.voice-cal.status",
                             [](const Json& r) { return r["voiceCal"]["completed"] == true; });
  const Json& cal = done["voiceCal"];
  ASSERT_EQ(cal["completed"], true);
  EXPECT_EQ(cal["active"], false);
  // 350 voiced blocks: 0.93 s of analysed audio (a loaded machine may add a
  // few quiet blocks of capture underrun).
  EXPECT_EQ(cal["voice_frames"], 350);
  EXPECT_GE(cal["total_elapsed_sec"].get<double>(), 0.93);
  EXPECT_LE(cal["total_elapsed_sec"].get<double>(), 1.5);
  EXPECT_NEAR(cal["avg_f0_hz"].get<double>(), 200.0, 3.0);
  EXPECT_NEAR(cal["avg_speech_rms_db"].get<double>(), -23.0, 3.0);
  EXPECT_EQ(cal["detected_gender"], "Giọng Trung Ấm (Alto/Tenor) (200 Hz)");
  EXPECT_EQ(cal["recommended_profile"], "My Vocal");
  EXPECT_TRUE(cal["recommendation_summary"].get<std::string>().starts_with(
      "Đã tối ưu [⭐ Hồ Sơ Giọng Của Tôi (My Vocal)] (Giong Nu): F0 200Hz | Trim +"));
  EXPECT_EQ(done["voiceProfile"], "My Vocal");
  EXPECT_EQ(done["params"]["tc_voice_profile"], 1);
  EXPECT_EQ(done["params"]["autotune_enabled"], true);

  // The writer saves the file shortly after.
  const fs::path file = fs::path(first.home()) / kProfilePath;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(file));
  const Json saved = Json::parse(test::read_text(file));
  EXPECT_EQ(saved["dsp_params"], done["params"]);
  EXPECT_EQ(saved["voice_cal_summary"]["detected_gender"], cal["detected_gender"]);
  EXPECT_EQ(saved["saved_profile_label"], "⭐ Hồ Sơ Giọng Của Tôi (My Vocal)");

  first.close_stdin();
  ASSERT_TRUE(first.wait_exit());

  ServiceProcess second(devices.options({{"HOME", first.home()}}));
  const Json status = second.call("tunewerk.voice-cal.status");
  EXPECT_EQ(status["voiceProfile"], "My Vocal");
  EXPECT_EQ(status["voiceCal"]["completed"], false);
  const Json& p = status["params"];
  const Json& stored = done["params"];
  for (const char* key : {"lowcut_freq_hz", "mic_corr_eq_db", "tc_voice_profile", "tc_formant_scale",
                          "eq_low_db", "deesser_amount", "tc_rbass_freq_hz", "mic_input_trim_db"})
    EXPECT_EQ(p[key], stored[key]) << key;
  // No quiet block was heard: the run's gate of -44 dB is one the loader replaces.
  EXPECT_EQ(stored["denoise_gate_db"], -44.0);
  EXPECT_EQ(p["denoise_gate_db"], -54.0);
  EXPECT_EQ(second.call("audio.status")["mixer"]["micGain"], 1.0);
}

TEST(VoiceCalService, StartUpAppliesTheWorkingFolderProfileWithItsClamps) {
  const Json stored = {{"vocal_gain", 1.45},       {"mic_input_trim_db", 1.0},
                       {"denoise_gate_db", -40.0}, {"deesser_amount", 0.9},
                       {"tc_voice_profile", 7},    {"delay_enabled", true},
                       {"delay_mix", 0.5},         {"reverb_enabled", false},
                       {"beat_volume", 1.0},       {"mic_corr_eq_db", {5, 5, -9, 5, 5, 5}},
                       {"lowcut_freq_hz", 120.0}};
  ServiceProcess host(
      {}, {{"work/recordings/Tunewerk_Saved_VoiceProfile.json", to_json_text({{"dsp_params", stored}})}});
  const Json status = host.call("tunewerk.voice-cal.status");
  EXPECT_EQ(status["voiceProfile"], "My Vocal");
  const Json& p = status["params"];
  EXPECT_EQ(p["vocal_gain"], 1.0);
  EXPECT_EQ(p["mic_input_trim_db"], f(4.2));
  EXPECT_EQ(p["denoise_gate_db"], -54.0);
  EXPECT_EQ(p["deesser_amount"], f(0.72));
  EXPECT_EQ(p["tc_voice_profile"], 3);
  EXPECT_EQ(p["delay_enabled"], false);
  EXPECT_EQ(p["delay_mix"], 0.0);
  EXPECT_EQ(p["reverb_enabled"], true);
  EXPECT_EQ(p["beat_volume"], f(0.78));
  EXPECT_EQ(p["lowcut_freq_hz"], 96.0);
  EXPECT_EQ(p["mic_corr_eq_db"], Json::array({1.5, 1.0, -3.5, 0.0, 0.5, f(1.8)}));
  const Json mixer = host.call("audio.status")["mixer"];
  EXPECT_EQ(mixer["micGain"], 1.0);
  EXPECT_EQ(mixer["musicGain"], f(0.78));
}

TEST(VoiceCalService, StartUpProfileChoice) {
  const std::string home_profile = to_json_text({{"dsp_params", {{"lowcut_freq_hz", 90.0}}}});
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    const char* label;
    double lowcut;
  } cases[] = {
      {"no file", {}, "Giong Nam", 76.0},
      {"home copy",
       {{"home/.config/Melodara/Tunewerk_Saved_VoiceProfile.json", home_profile}},
       "My Vocal",
       90.0},
      {"only params",
       {{"home/.config/Melodara/Tunewerk_Saved_VoiceProfile.json",
         R"({"params": {"lowcut_freq_hz": 85.0}})"}},
       "My Vocal",
       85.0},
      {"malformed working copy wins",
       {{"home/.config/Melodara/Tunewerk_Saved_VoiceProfile.json", home_profile},
        {"work/recordings/Tunewerk_Saved_VoiceProfile.json", R"({"dsp_params": )"}},
       "Giong Nam",
       76.0},
      {"malformed home copy",
       {{"home/.config/Melodara/Tunewerk_Saved_VoiceProfile.json", "not json"}},
       "Giong Nam",
       76.0},
  };
  for (const Case& c : cases) {
    ServiceProcess host({}, c.files);
    const Json status = host.call("tunewerk.voice-cal.status");
    EXPECT_EQ(status["voiceProfile"], c.label) << c.name;
    EXPECT_EQ(status["params"]["lowcut_freq_hz"], c.lowcut) << c.name;
  }
}

}  // namespace
}  // namespace melodara
