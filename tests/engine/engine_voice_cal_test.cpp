// Voice calibration inside the engine loop: a steady tone on the simulated
// microphone completes a run on the engine thread, without an allocation and
// without touching the profile file, which only the writer then saves.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/engine_thread.h"
#include "engine_test_support.h"
#include "state/voice_calibration.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

TEST(EngineVoiceCal, SteadyToneCompletesOnTheEngineWithoutAllocatingOrWriting) {
  test::TempHomeAndWorkdir folders;
  const fs::path profile = folders.home / ".config/Melodara/Tunewerk_Saved_VoiceProfile.json";
  sim::Config cfg;
  // A 200 Hz tone with peaks at -20 dBFS.
  cfg.devices = {test::input_device("MacBook Pro Microphone", 1, test::sine(200, 0.1)),
                 test::output_device("MacBook Pro Speakers")};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(engine_run_block(*s.engine), BlockOutcome::next);
    engine_pace(*s.engine);
  }
  voice_cal_start(*s.state->lock(), 15.0f);

  std::size_t allocations = 0;
  int blocks = 0;
  bool completed = false;
  while (!completed && blocks < 2000) {
    {
      test::ThreadAllocationCounter count;
      ASSERT_EQ(engine_run_block(*s.engine), BlockOutcome::next);
      allocations += count.count();
    }
    engine_pace(*s.engine);
    ++blocks;
    completed = s.state->lock()->voiceCal.completed;
  }
  EXPECT_EQ(allocations, 0u);
  // 350 voiced blocks: 0.93 s.
  EXPECT_GE(blocks, 350) << blocks;
  EXPECT_LE(blocks, 400) << blocks;

  auto g = s.state->lock();
  const VoiceCalStatus& cal = g->voiceCal;
  ASSERT_TRUE(cal.completed);
  EXPECT_NEAR(cal.avg_f0_hz, 200.0f, 2.0f);
  EXPECT_EQ(cal.detected_gender, "Giọng Trung Ấm (Alto/Tenor) (200 Hz)");
  EXPECT_NEAR(cal.avg_speech_rms_db, -23.0f, 1.0f);
  EXPECT_EQ(g->dsp.params.tc_voice_profile, 1);
  EXPECT_EQ(g->voiceProfile, "My Vocal");
  EXPECT_TRUE(g->dsp.params.autotune_enabled);  // switched back on

  EXPECT_FALSE(fs::exists(profile));
  EXPECT_TRUE(write_pending_voice_profile(*g));
  EXPECT_TRUE(fs::exists(profile));
}

TEST(EngineVoiceCal, SilenceNeverCompletes) {
  test::TempHomeAndWorkdir folders;
  sim::Config cfg;
  cfg.devices = {test::input_device("MacBook Pro Microphone", 1),
                 test::output_device("MacBook Pro Speakers")};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  voice_cal_start(*s.state->lock(), 15.0f);
  s.run_blocks(1500);  // 4 s

  auto g = s.state->lock();
  const VoiceCalStatus& cal = g->voiceCal;
  EXPECT_TRUE(cal.active);
  EXPECT_FALSE(cal.completed);
  EXPECT_EQ(cal.voice_frames, 0u);
  EXPECT_GT(cal.noise_frames, 1000u);
  EXPECT_GT(cal.total_elapsed_sec, 3.0f);
  EXPECT_LT(cal.avg_noise_floor_db, -100.0f);
  EXPECT_FALSE(g->pendingVoiceProfile);
}

}  // namespace
}  // namespace melodara
