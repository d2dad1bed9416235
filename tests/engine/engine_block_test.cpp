// One engine block at a time: capture underrun, the copy and busy paths of
// the player, the three fades, the publish mute, recorder capture with its
// cap, and the realtime rules (no allocation or free per block; released
// tracks go to the retire queue).
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <thread>

#include "engine/engine_thread.h"
#include "engine/program_stream.h"
#include "engine/recorder_capture.h"
#include "engine_test_support.h"

namespace melodara {
namespace {

using test::input_device;
using test::output_device;

float w(std::size_t i) { return float((1.0 - std::cos(std::numbers::pi * double(i + 1) / 128.0)) / 2.0); }

// A track whose left sample at frame f is f / 1e5 and right sample its negative.
std::shared_ptr<std::vector<float>> ramp(std::size_t frames) {
  auto t = std::make_shared<std::vector<float>>(2 * frames);
  for (std::size_t f = 0; f < frames; ++f) {
    (*t)[2 * f] = float(f) * 1e-5f;
    (*t)[2 * f + 1] = -float(f) * 1e-5f;
  }
  return t;
}

test::SimEngine quiet_engine() {
  sim::Config cfg;
  auto s = test::make_sim_engine(cfg, "", "");
  engine_open_streams(*s.engine);
  return s;
}

// An enabled slot without a publisher thread: the test takes the frames itself.
std::shared_ptr<ProgramStream> bare_slot() {
  auto slot = std::make_shared<ProgramStream>();
  slot->queue = std::make_shared<ProgramStreamQueue>();
  slot->state = std::make_shared<ProgramStreamState>();
  slot->state->enabled = true;
  return slot;
}

std::vector<ProgramStreamFrame> take_all(ProgramStream& slot) {
  std::vector<ProgramStreamFrame> out(kProgramStreamQueueLimit);
  out.resize(slot.queue->take(out.data(), out.size()));
  return out;
}

// Holds the state lock on another thread while it lives.
struct LockHolder {
  std::atomic<int> phase{0};
  std::thread t;
  explicit LockHolder(SharedState& st, std::function<void(NativeState&)> change = {}) {
    t = std::thread([&] {
      auto g = st->lock();
      if (change) change(*g);
      phase = 1;
      while (phase != 2) std::this_thread::yield();
    });
    while (phase != 1) std::this_thread::yield();
  }
  ~LockHolder() {
    phase = 2;
    t.join();
  }
};

TEST(EngineBlock, EmptyCaptureRingDecaysFromTheLastFrame) {
  auto s = quiet_engine();
  AudioEngine& e = *s.engine;
  const BlockSignals& out = s.signals();
  {
    auto g = s.status().capture_ring->lock();
    while (g->size()) g->drop_front();
    for (int i = 0; i < 10; ++i) g->push_back({0.5f, -0.25f});
  }
  engine_run_block(e);
  EXPECT_FLOAT_EQ(out.capture_left[9], 0.5f);
  float l = 0.5f;
  for (std::size_t i = 10; i < 128; ++i) {
    l *= 0.996f;
    ASSERT_FLOAT_EQ(out.capture_left[i], l) << i;
  }
  // The decay goes on across blocks.
  engine_run_block(e);
  EXPECT_FLOAT_EQ(out.capture_left[0], l * 0.996f);
  EXPECT_FLOAT_EQ(out.capture_right[0], -0.25f * std::pow(0.996f, 119.0f));
}

TEST(EngineBlock, FadesInOutAndCrossfadesASeek) {
  auto s = quiet_engine();
  AudioEngine& e = *s.engine;
  const BlockSignals& out = s.signals();
  auto track = ramp(48000);
  {
    auto g = s.state->lock();
    g->player.samples = track;
    g->player.playing = true;
  }
  engine_run_block(e);  // start: fade in
  for (std::size_t i = 0; i < 128; ++i) ASSERT_FLOAT_EQ(out.music_left[i], float(i) * 1e-5f * w(i)) << i;
  engine_run_block(e);  // continuing: no fade
  for (std::size_t i = 0; i < 128; ++i) ASSERT_FLOAT_EQ(out.music_right[i], -float(128 + i) * 1e-5f) << i;

  {
    auto g = s.state->lock();  // seek while playing: crossfade from the old place
    g->player.position = 10000;
    ++g->player.trackSerial;
  }
  engine_run_block(e);
  for (std::size_t i = 0; i < 128; ++i)
    ASSERT_NEAR(out.music_left[i], float(10000 + i) * 1e-5f * w(i) + float(256 + i) * 1e-5f * (1.0f - w(i)),
                1e-6f)
        << i;

  s.state->lock()->player.playing = false;  // stop: fade the old frames out
  engine_run_block(e);
  for (std::size_t i = 0; i < 128; ++i)
    ASSERT_NEAR(out.music_left[i], float(10128 + i) * 1e-5f * (1.0f - w(i)), 1e-6f) << i;
  engine_run_block(e);
  for (float v : out.music_left) ASSERT_EQ(v, 0.0f);
}

TEST(EngineBlock, BusyLockPlaysOnAndTheAdvanceCatchesUpOrIsDroppedForANewTrack) {
  for (bool new_track : {false, true}) {
    auto s = quiet_engine();
    AudioEngine& e = *s.engine;
    const BlockSignals& out = s.signals();
    {
      auto g = s.state->lock();
      g->player.samples = ramp(48000);
      g->player.playing = true;
    }
    engine_run_block(e);
    {
      LockHolder hold(s.state);
      for (int i = 0; i < 5; ++i) EXPECT_EQ(engine_run_block(e), BlockOutcome::next);
      EXPECT_EQ(s.status().pending_advance, 5u * 128);
      EXPECT_FLOAT_EQ(out.music_left[0], float(5 * 128) * 1e-5f);  // played from its own position
    }
    if (new_track) {
      auto g = s.state->lock();
      g->player.samples = ramp(1000);
      g->player.position = 0;
      ++g->player.trackSerial;
    }
    engine_run_block(e);
    EXPECT_EQ(s.status().pending_advance, 0u);
    EXPECT_EQ(s.state->lock()->player.position, new_track ? 128u : 7u * 128) << new_track;
  }
}

TEST(EngineBlock, ShortRemainderPlaysItsLastFramesAndStops) {
  auto s = quiet_engine();
  {
    auto g = s.state->lock();
    g->player.samples = ramp(200);
    g->player.playing = true;
  }
  engine_run_block(*s.engine);
  engine_run_block(*s.engine);
  EXPECT_NEAR(s.signals().music_left[71], 199e-5f, 1e-7f);
  for (std::size_t i = 72; i < 128; ++i) ASSERT_EQ(s.signals().music_left[i], 0.0f);
  auto g = s.state->lock();
  EXPECT_FALSE(g->player.playing);
  EXPECT_EQ(g->player.position, 200u);
}

TEST(EngineBlock, PublishMuteSilencesOnlyThePrimarySlot) {
  sim::Config cfg;
  cfg.devices = {input_device("MacBook Pro Microphone", 1, test::sine(1000, 0.2))};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "");
  {
    auto g = s.state->lock();
    g->muted = true;
    g->player.samples = std::make_shared<std::vector<float>>(96000, 0.3f);
    g->player.playing = true;
  }
  engine_open_streams(*s.engine);
  s.run_for(0.3);
  float primary = 0.0f, backing = 0.0f, bus = 0.0f;
  for (std::size_t i = 0; i < 128; ++i) {
    primary = std::fmax(primary, std::fabs(s.signals().primary[i].left));
    backing = std::fmax(backing, std::fabs(s.signals().backing[i].left));
    bus = std::fmax(bus, std::fabs(s.signals().bus[i].left));
  }
  EXPECT_EQ(primary, 0.0f);
  EXPECT_GT(backing, 0.01f);
  EXPECT_GT(bus, 0.01f);
  auto g = s.state->lock();
  EXPECT_EQ(g->primaryUplinkPeakDb, -96.0f);
  EXPECT_GT(g->backingUplinkPeakDb, -40.0f);
}

TEST(EngineBlock, EveryFrameReachesBothSlotsStampedWithTheCopiedRevision) {
  sim::Config cfg;
  cfg.devices = {input_device("MacBook Pro Microphone", 1, test::sine(1000, 0.2))};
  auto backing_slot = bare_slot(), primary_slot = bare_slot();
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "", backing_slot, primary_slot);
  AudioEngine& e = *s.engine;
  const BlockSignals& out = s.signals();
  {
    auto g = s.state->lock();
    g->player.samples = std::make_shared<std::vector<float>>(96000, 0.3f);
    g->player.playing = true;
    g->audioRevision = 41;
  }
  engine_open_streams(e);
  s.run_blocks(40);
  take_all(*backing_slot);
  take_all(*primary_slot);

  auto expect_block = [&](std::uint64_t stamp, bool muted) {
    const auto backing = take_all(*backing_slot);
    const auto primary = take_all(*primary_slot);
    ASSERT_EQ(backing.size(), kEngineBlock);
    ASSERT_EQ(primary.size(), kEngineBlock);
    for (std::size_t i = 0; i < kEngineBlock; ++i) {
      EXPECT_EQ(backing[i].stamp, stamp);
      EXPECT_EQ(primary[i].stamp, stamp);
      EXPECT_EQ(backing[i].left, out.backing[i].left) << i;
      EXPECT_EQ(backing[i].right, out.backing[i].right) << i;
      EXPECT_EQ(primary[i].left, out.primary[i].left) << i;
      EXPECT_EQ(primary[i].right, out.primary[i].right) << i;
      if (muted) {
        EXPECT_EQ(primary[i].left, 0.0f);
      }
    }
    EXPECT_GT(std::fabs(backing[64].left), 0.05f);
    if (!muted) {
      EXPECT_GT(std::fabs(primary[64].left) + std::fabs(primary[100].left), 0.0f);
    }
  };
  engine_run_block(e);
  expect_block(41, false);
  {
    auto g = s.state->lock();
    g->muted = true;
    g->audioRevision = 42;
  }
  engine_run_block(e);
  expect_block(42, true);
  {
    // A busy lock keeps the last copied revision.
    LockHolder hold(s.state, [](NativeState& st) { st.audioRevision = 43; });
    engine_run_block(e);
    expect_block(42, true);
  }

  // A closed slot takes nothing and counts nothing.
  primary_slot->state->enabled = false;
  engine_run_block(e);
  EXPECT_TRUE(take_all(*primary_slot).empty());
  EXPECT_EQ(take_all(*backing_slot).size(), kEngineBlock);
  EXPECT_EQ(primary_slot->state->droppedFrames.load(), 0u);
}

TEST(EngineBlock, RecordsBothSlotsAndKeepsSamplesWhileTheLockIsBusy) {
  auto s = quiet_engine();
  {
    auto g = s.state->lock();
    recorder_start(g->recording, *g->recorderPool);
    recorder_start(g->stageRecording, *g->recorderPool);
  }
  for (int i = 0; i < 10; ++i) engine_run_block(*s.engine);
  {
    auto g = s.state->lock();
    // The first block saw the take; each block adds 256 samples to every list.
    EXPECT_EQ(g->recording.mix.size(), 10u * 256);
    EXPECT_EQ(g->recording.vocal.size(), 10u * 256);
    EXPECT_EQ(g->recording.dryMic.size(), 10u * 256);
    EXPECT_EQ(g->recording.beat.size(), 10u * 256);
    EXPECT_EQ(g->stageRecording.mix.size(), 10u * 256);
    EXPECT_TRUE(g->stageRecording.vocal.empty());
    EXPECT_FLOAT_EQ(g->recording.durationSec, 2560.0f / 96000.0f);
  }
  {
    LockHolder hold(s.state);
    for (int i = 0; i < 3; ++i) engine_run_block(*s.engine);
  }
  engine_run_block(*s.engine);
  EXPECT_EQ(s.state->lock()->recording.mix.size(), 14u * 256);
  {
    auto g = s.state->lock();  // a new take drops the old one's samples
    recorder_start(g->recording, *g->recorderPool);
  }
  engine_run_block(*s.engine);
  EXPECT_EQ(s.state->lock()->recording.mix.size(), 256u);
}

TEST(EngineBlock, TakeStopsGrowingAtTheCap) {
  RecorderSlot rec, stage;
  RecorderPool pool(kRecorderChunkTable + 4);
  pool.prime();
  recorder_start(rec, pool);
  const std::vector<float> zeros(kRecorderChunkSamples);
  for (std::size_t left = kRecorderSampleCap - 100; left > 0;) {
    const std::size_t n = std::min(left, zeros.size());
    ASSERT_TRUE(rec.mix.append(std::span(zeros).first(n), pool));
    left -= n;
  }
  RecorderPending p = recorder_pending_new();
  recorder_note_slots(p, rec, stage);
  std::array<StereoFrame, 128> half, zero{};
  half.fill({0.5f, 0.5f});
  const RecorderBlock block{half, zero, zero, zero};
  recorder_capture_block(p, block);
  recorder_flush(p, rec, stage, pool);
  EXPECT_EQ(rec.mix.size(), kRecorderSampleCap - 100 + 256);  // a whole block past the cap
  EXPECT_EQ(rec.mix[kRecorderSampleCap], 0.5f);
  EXPECT_EQ(rec.vocal.size(), 256u);
  recorder_capture_block(p, block);
  recorder_flush(p, rec, stage, pool);
  EXPECT_EQ(rec.mix.size(), kRecorderSampleCap + 156);
  EXPECT_TRUE(p.mix.empty());
  EXPECT_TRUE(rec.active);
  EXPECT_FLOAT_EQ(rec.durationSec, float(kRecorderSampleCap + 156) / 96000.0f);
}

// Page faults of the calling thread so far: a first touch of fresh memory.
long thread_page_faults() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt + u.ru_majflt;
}

TEST(EngineBlock, NoAllocationNorPageFaultPerBlockWhilePlayingAndRecording) {
  sim::Config cfg;
  cfg.devices = {input_device("MacBook Pro Microphone", 1, test::sine(440, 0.2)),
                 output_device("MacBook Pro Speakers"), output_device("Melodara_Virtual_Bus_48kHz")};
  auto backing_slot = bare_slot(), primary_slot = bare_slot();
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "MacBook Pro Speakers", backing_slot,
                                 primary_slot);
  engine_open_streams(*s.engine);
  {
    auto g = s.state->lock();
    g->player.samples = ramp(48000 * 20);
    g->player.playing = true;
    recorder_start(g->recording, *g->recorderPool);
    recorder_start(g->stageRecording, *g->recorderPool);
    g->routingMode = "shared-karaoke-vocal";
  }
  for (int i = 0; i < 10; ++i) {
    engine_run_block(*s.engine);
    s.clock->stall(2'666'667);
  }
  take_all(*primary_slot);
  take_all(*backing_slot);
  {
    test::ThreadAllocationCounter count;  // the counter sees this thread's allocations
    auto probe = std::make_unique<int>(1);
    test::escape(probe.get());
    EXPECT_EQ(count.count(), 1u);
  }
  std::size_t allocations = 0, frees = 0;
  long faults = 0;
  for (int i = 0; i < 1000; ++i) {
    {
      const long faults_before = thread_page_faults();
      test::ThreadAllocationCounter count;
      ASSERT_EQ(engine_run_block(*s.engine), BlockOutcome::next);
      allocations += count.count();
      frees += count.frees();
      // Only blocks after the first chunk change: by then every code path has run once.
      if (i >= 300) faults += thread_page_faults() - faults_before;
    }
    engine_pace(*s.engine);  // the fake clock runs the simulated devices here, uncounted
    ASSERT_EQ(take_all(*primary_slot).size(), kEngineBlock);
    take_all(*backing_slot);
    if (i % 100 == 50) {
      LockHolder hold(s.state);  // busy blocks hold samples in the pending lists
      for (int k = 0; k < 20; ++k) {
        test::ThreadAllocationCounter count;
        engine_run_block(*s.engine);
        allocations += count.count();
        frees += count.frees();
      }
      take_all(*primary_slot);
      take_all(*backing_slot);
    }
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(frees, 0u);
  // The take grows by 5 kB a block, over 3 MB here: none of it may be a first touch.
  EXPECT_EQ(faults, 0);
  auto g = s.state->lock();
  EXPECT_EQ(g->recording.mix.size(), (10u + 1000u + 200u) * 256);
}

TEST(EngineBlock, HundredTrackChangesWhilePlayingNeitherAllocateNorFreeOnTheEngineThread) {
  auto s = quiet_engine();
  {
    auto g = s.state->lock();
    g->player.samples = ramp(4800);
    g->player.playing = true;
  }
  for (int i = 0; i < 3; ++i) engine_run_block(*s.engine);
  {
    test::ThreadAllocationCounter count;  // the counter sees this thread's frees
    auto probe = std::make_unique<int>(1);
    test::escape(probe.get());
    probe.reset();
    EXPECT_EQ(count.count(), 1u);
    EXPECT_EQ(count.frees(), 1u);
  }

  std::vector<std::weak_ptr<const std::vector<float>>> old_tracks;
  std::size_t allocations = 0, frees = 0;
  for (int change = 0; change < 100; ++change) {
    {
      auto g = s.state->lock();  // a new track; nobody but the engine holds the old one now
      old_tracks.push_back(g->player.samples);
      g->player.samples = ramp(4800);
      g->player.position = 0;
      ++g->player.trackSerial;
    }
    for (int block = 0; block < 2; ++block) {  // the change, then the block after its crossfade
      test::ThreadAllocationCounter count;
      ASSERT_EQ(engine_run_block(*s.engine), BlockOutcome::next);
      allocations += count.count();
      frees += count.frees();
    }
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(frees, 0u);
  EXPECT_EQ(s.status().retire_overflows, 0u);
  for (const auto& t : old_tracks) ASSERT_FALSE(t.expired());  // they wait in the retire queue

  // Another thread drops them.
  const auto queue = engine_retire_queue(*s.engine);
  std::thread([&] { EXPECT_GE(queue->reclaim(), old_tracks.size()); }).join();
  for (const auto& t : old_tracks) EXPECT_TRUE(t.expired());
  EXPECT_EQ(queue->size(), 0u);
}

TEST(EngineBlock, ReclaimerFreesARetiredTrackWithoutAnyRequest) {
  auto s = quiet_engine();
  auto first = ramp(4800);
  std::weak_ptr<const std::vector<float>> watch = first;
  {
    auto g = s.state->lock();
    g->player.samples = std::move(first);
    g->player.playing = true;
  }
  ASSERT_TRUE(start_track_reclaimer(engine_retire_queue(*s.engine), std::chrono::milliseconds(5)));
  engine_run_block(*s.engine);
  s.state->lock()->player.samples = ramp(4800);
  for (int i = 0; i < 2; ++i) engine_run_block(*s.engine);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!watch.expired() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace melodara
