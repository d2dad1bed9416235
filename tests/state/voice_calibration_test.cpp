// Voice calibration on the shared state: the switches a start saves and a
// cancel or completion puts back, the profile file written by the request
// side at once and by the writer after an engine completion, and an engine
// completion that neither allocates nor touches a file.
#include "state/voice_calibration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "alloc_counter.h"
#include "core/json_writer.h"
#include "dsp/saved_voice_profile.h"
#include "state/dsp_edits.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// A loud voiced block at 180 Hz.
constexpr VoiceCalBlock kVoice{0.1f, 180.0f, {0.1f, 0.2f, 0.3f, 0.2f, 0.1f, 0.01f}};

class VoiceCalState : public ::testing::Test {
 protected:
  test::TempHomeAndWorkdir folders;
  fs::path profile_file = folders.home / ".config/Melodara/Tunewerk_Saved_VoiceProfile.json";
  NativeState state;

  // Every switch a start turns off, on (and the sends unmuted), with a trim and bands.
  void singer_settings() {
    DspParams& p = state.dsp.params;
    p.reverb_enabled = p.delay_enabled = p.autotune_enabled = true;
    p.ngan_giong_vibrato = p.chong_be_harmony = true;
    p.tc_mute_all_sends = false;
    p.mic_input_trim_db = 3.0f;
    p.mic_corr_eq_db = {0.5f, -0.5f, 1.0f, -1.0f, 0.25f, -0.25f};
  }
  // Analyses blocks as the engine does until the run completes; the blocks it took.
  int run_engine_blocks(int limit = 2000) {
    for (int i = 1; i <= limit; ++i) {
      voice_cal_analyze_block(state, kVoice);
      if (!state.voiceCal.active) return i;
    }
    return -1;
  }
  Json saved_file() { return Json::parse(test::read_text(profile_file)); }
};

TEST_F(VoiceCalState, StartQuietsTheChainAndASecondStartKeepsTheSwitches) {
  singer_settings();
  const DspParams before = state.dsp.params;
  voice_cal_start(state, 15.0f);
  EXPECT_EQ(state.audioRevision, 2u);
  EXPECT_TRUE(state.voiceCal.active);
  EXPECT_EQ(state.voiceCal.target_voice_sec, 1.8f);
  const DspParams& p = state.dsp.params;
  EXPECT_FALSE(p.reverb_enabled || p.delay_enabled || p.autotune_enabled || p.ngan_giong_vibrato ||
               p.chong_be_harmony);
  EXPECT_TRUE(p.tc_mute_all_sends);

  // A start during the run restarts the measurement only.
  for (int i = 0; i < 10; ++i) voice_cal_analyze_block(state, kVoice);
  voice_cal_start(state, 1.0f);
  EXPECT_EQ(state.voiceCal.voice_frames, 0u);
  EXPECT_EQ(state.voiceCal.target_voice_sec, 1.5f);

  voice_cal_cancel(state);
  EXPECT_EQ(state.dsp.params, before);
  EXPECT_EQ(state.audioRevision, 4u);
}

TEST_F(VoiceCalState, CancelRestoresWhatTheStartChanged) {
  singer_settings();
  const DspParams before = state.dsp.params;
  voice_cal_start(state, 15.0f);
  for (int i = 0; i < 10; ++i) voice_cal_analyze_block(state, kVoice);
  voice_cal_cancel(state);
  EXPECT_EQ(state.dsp.params, before);
  EXPECT_FALSE(state.voiceCal.active);
  EXPECT_FALSE(state.voiceCal.completed);
  EXPECT_EQ(state.voiceCal.voice_frames, 10u);  // the measurements stay
  EXPECT_EQ(state.voiceCal.detected_gender, "Chưa đo");

  // Without a run a cancel changes nothing but the revision.
  const std::uint64_t revision = state.audioRevision;
  voice_cal_cancel(state);
  EXPECT_EQ(state.dsp.params, before);
  EXPECT_EQ(state.audioRevision, revision + 1);

  // With a saved profile, it is laid over the restored values: the delay goes off again.
  fs::create_directories(profile_file.parent_path());
  test::write_text(profile_file, R"({"dsp_params": {"mic_input_trim_db": 2.0}})");
  voice_cal_start(state, 15.0f);
  voice_cal_cancel(state);
  EXPECT_FALSE(state.dsp.params.delay_enabled);
  EXPECT_TRUE(state.dsp.params.reverb_enabled);
  EXPECT_EQ(state.dsp.params.mic_input_trim_db, 2.0f);
}

TEST_F(VoiceCalState, FinishSavesTheProfileAtOnce) {
  singer_settings();
  state.micGain = 1.6f;
  voice_cal_start(state, 15.0f);
  save_my_vocal_profile(state);
  EXPECT_FALSE(state.voiceCal.active);
  EXPECT_TRUE(state.voiceCal.completed);
  EXPECT_EQ(state.voiceProfile, "My Vocal");
  EXPECT_EQ(state.micGain, 1.0f);
  EXPECT_EQ(state.audioRevision, 3u);
  EXPECT_TRUE(state.dsp.params.reverb_enabled && state.dsp.params.autotune_enabled);
  EXPECT_FALSE(state.pendingVoiceProfile);

  const Json file = saved_file();
  EXPECT_EQ(file["dsp_params"], dsp_params_to_json(state.dsp.params));
  EXPECT_EQ(file["voice_cal_summary"]["detected_gender"], "Giọng Nam Trung / Cao (135 Hz)");
  EXPECT_EQ(file["voice_cal_summary"]["recommendation_summary"], state.voiceCal.recommendation_summary);

  DspParams loaded = dsp_params_default();
  EXPECT_EQ(load_saved_voice_profile(loaded), "My Vocal");
  EXPECT_EQ(loaded.lowcut_freq_hz, state.dsp.params.lowcut_freq_hz);
  EXPECT_EQ(loaded.mic_corr_eq_db, state.dsp.params.mic_corr_eq_db);
}

TEST_F(VoiceCalState, EngineCompletionLeavesTheFileToTheWriter) {
  voice_cal_start(state, 15.0f);
  const std::uint64_t revision = state.audioRevision;
  int blocks = 0;
  {
    test::ThreadAllocationCounter counter;
    blocks = run_engine_blocks();
    EXPECT_EQ(counter.count(), 0u);
  }
  EXPECT_EQ(blocks, 350);
  EXPECT_TRUE(state.voiceCal.completed);
  EXPECT_EQ(state.voiceCal.detected_gender, "Giọng Trung Ấm (Alto/Tenor) (180 Hz)");
  EXPECT_EQ(state.voiceProfile, "My Vocal");
  EXPECT_EQ(state.audioRevision, revision + 1);
  EXPECT_FALSE(fs::exists(profile_file));
  ASSERT_TRUE(state.pendingVoiceProfile);

  // The file holds the result even when the parameters moved on meanwhile.
  const DspParams result = state.dsp.params;
  state.dsp.params.lowcut_freq_hz = 120.0f;
  EXPECT_TRUE(write_pending_voice_profile(state));
  EXPECT_FALSE(write_pending_voice_profile(state));
  EXPECT_EQ(saved_file()["dsp_params"], dsp_params_to_json(result));
}

TEST_F(VoiceCalState, ReadersSaveAPendingProfileFirst) {
  voice_cal_start(state, 15.0f);
  run_engine_blocks();
  ASSERT_TRUE(state.pendingVoiceProfile);
  const float lowcut = state.dsp.params.lowcut_freq_hz;
  state.dsp.params.lowcut_freq_hz = 120.0f;
  apply_voice_profile(state, "My Vocal");
  EXPECT_FALSE(state.pendingVoiceProfile);
  EXPECT_EQ(state.dsp.params.lowcut_freq_hz, lowcut);

  // A new start saves the finished run before it replaces its texts.
  voice_cal_start(state, 15.0f);
  run_engine_blocks();
  const std::string summary = state.voiceCal.recommendation_summary;
  voice_cal_start(state, 15.0f);
  EXPECT_FALSE(state.pendingVoiceProfile);
  EXPECT_EQ(saved_file()["voice_cal_summary"]["recommendation_summary"], summary);
}

TEST_F(VoiceCalState, WriterThreadSavesSoonAfterAnEngineCompletion) {
  auto shared = std::make_shared<Mutex<NativeState>>();
  auto writer = std::make_shared<VoiceProfileWriter>();
  shared->lock()->voiceProfileWriter = writer;
  std::thread thread([&] { run_voice_profile_writer(shared, *writer, std::chrono::milliseconds(10)); });

  {
    auto g = shared->lock();
    voice_cal_start(*g, 15.0f);
    for (int i = 0; i < 2000 && g->voiceCal.active; ++i) voice_cal_analyze_block(*g, kVoice);
    EXPECT_TRUE(g->voiceCal.completed);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(profile_file) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(fs::exists(profile_file));
  EXPECT_FALSE(shared->lock()->pendingVoiceProfile);

  // A poisoned state ends the writer at its next look.
  try {
    auto g = shared->lock();
    voice_cal_start(*g, 15.0f);
    throw std::runtime_error("handler failed");
  } catch (const std::runtime_error&) {}
  thread.join();
}

}  // namespace
}  // namespace melodara
