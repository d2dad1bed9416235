#include "media/load_jobs.h"

#include <utility>

#include "core/counters.h"
#include "core/threads.h"
#include "dsp/key_names.h"
#include "media/load_ladder.h"
#include "media/media_analysis.h"
#include "media/media_cache.h"
#include "media/pcm_cache_writer.h"
#include "state/key_tracker_seed.h"

namespace melodara {

std::string_view analysis_hint(std::string_view title, std::string_view source) {
  return title.empty() ? source : title;
}

bool carries_key_and_tempo(const DecodedMedia& media) { return media.detected_key && media.tempo_known != 0; }

void settle_key_tempo(DecodedMedia& media, std::string_view source, std::string_view hint,
                      KeyTempoAnalysis when) {
  const bool complete = carries_key_and_tempo(media);
  if (complete && when == KeyTempoAnalysis::WhenMissing) return;
  MediaAnalysis found = analyze_key_tempo(*media.samples, hint);
  if (found.detected_key) media.detected_key = std::move(found.detected_key);
  media.tempo_known = found.tempo_known;
  media.tempo_bpm = found.tempo_bpm;
  // A complete side file stays: it holds what the audio says, and this answer
  // may have come from the hint.
  if (complete) return;
  spawn_write_analysis_meta(
      SideFileNote{std::string(source), media.detected_key, media.tempo_known != 0, media.tempo_bpm});
}

void cache_loaded_track(std::string_view source, const DecodedMedia& media) {
  media_cache_put(source, MediaCacheEntry{media.detected_key, media.tempo_known, media.tempo_bpm, media});
}

SharedSamples install_player_track(NativeState& state, const DecodedMedia& media, bool auto_play) {
  PlayerState& p = state.player;
  SharedSamples previous = std::exchange(p.samples, media.samples);
  p.channels = media.channels;
  p.mediaSampleRate = media.sample_rate;
  p.durationSeconds = media.duration_seconds;
  p.position = 0;
  bump(p.trackSerial);

  const bool tempo_known = media.tempo_known != 0;
  if (media.detected_key) apply_key_name_to_dsp_params(state.dsp.params, *media.detected_key);
  if (tempo_known) state.dsp.params.bpm = media.tempo_bpm;
  p.detectedKey = media.detected_key;
  p.detectedBpm = tempo_known ? std::optional<float>(media.tempo_bpm) : std::nullopt;
  seed_key_tracker(state);

  p.loading = false;
  p.loadProgress = 100;
  if (auto_play) p.playing = true;
  return previous;
}

void abandon_player_load(NativeState& state, std::uint64_t generation) {
  if (state.player.mediaGeneration != generation) return;
  state.player.loading = false;
  state.player.loadProgress = 0;
}

void report_load_job_progress(const SharedState& state, const LoadJobTable& jobs, const LoadJobTicket& job,
                              std::uint8_t percent) {
  // The state is written inside the table's lock, so a cancel (table first,
  // then the player's flag) never sees a late write of this job's progress.
  auto table = jobs->lock();
  if (table.poisoned()) return;
  const auto it = table->jobs.find(job.id);
  if (it == table->jobs.end() || it->second.cancelled || it->second.status != LoadJobStatus::Loading) return;
  it->second.progress = percent;
  auto g = state->lock();
  if (!g.poisoned() && g->player.mediaGeneration == job.generation) g->player.loadProgress = percent;
}

bool load_job_cancelled(const LoadJobTable& jobs, const LoadJobTicket& job) {
  if (generation_moved_past(job.player_generation, job.generation)) return true;
  auto table = jobs->lock();
  // A poisoned table cannot tell: the load goes on, as before the lock broke.
  if (table.poisoned()) return false;
  const auto it = table->jobs.find(job.id);
  return it == table->jobs.end() || it->second.cancelled || it->second.status != LoadJobStatus::Loading;
}

void cancel_older_load_jobs(const LoadJobTable& jobs, std::uint64_t generation) {
  auto table = jobs->lock();
  if (!table.poisoned()) cancel_superseded_load_jobs(*table, generation);
}

void run_remote_load_job(const SharedState& state, const LoadJobTable& jobs, const LoadJobTicket& job,
                         const MediaLimits& limits) {
  MediaLimits job_limits = limits;
  job_limits.cancelled = [&jobs, &job] { return load_job_cancelled(jobs, job); };
  auto loaded = load_media_source(
      job.source, [&](std::uint8_t percent) { report_load_job_progress(state, jobs, job, percent); },
      job_limits);
  // A superseded track is still cached below, but not worth an analysis.
  if (loaded && !generation_moved_past(job.player_generation, job.generation)) {
    settle_key_tempo(*loaded, job.source, analysis_hint(job.title, job.source));
  }

  // Declared first, dropped last: a track the player lets go of is freed
  // after both locks.
  SharedSamples previous;
  auto table = jobs->lock();
  if (table.poisoned()) {
    // Nobody can tell this job's fate any more; the player at least stops waiting.
    table.release();
    auto g = state->lock();
    if (!g.poisoned()) abandon_player_load(*g, job.generation);
    return;
  }
  const auto it = table->jobs.find(job.id);
  if (it == table->jobs.end() || it->second.cancelled) return;
  LoadJob& record = it->second;

  if (!loaded) {
    // Stopped, or failed, after the player moved on: a newer load's outcome
    // is what the host waits for.
    if (generation_moved_past(job.player_generation, job.generation)) {
      record.cancelled = true;
      record.status = LoadJobStatus::Cancelled;
      return;
    }
    {
      auto g = state->lock();
      if (!g.poisoned()) abandon_player_load(*g, job.generation);
    }
    record.status = LoadJobStatus::Error;
    record.error = std::move(loaded.error());
    return;
  }

  // Cached before the generation test: a track loaded for nothing is still
  // worth having at hand.
  cache_loaded_track(job.source, *loaded);

  auto g = state->lock();
  if (g.poisoned()) {
    record.status = LoadJobStatus::Error;
    record.error = std::string(kStatePoisonedMessage);
    return;
  }
  if (g->player.mediaGeneration == job.generation) {
    previous = install_player_track(*g, *loaded, job.auto_play);
    record.progress = 100;
    record.status = LoadJobStatus::Completed;
  } else {
    record.cancelled = true;
    record.status = LoadJobStatus::Cancelled;
  }
}

bool spawn_remote_load_job(SharedState state, LoadJobTable jobs, LoadJobTicket job, MediaLimits limits) {
  return spawn_detached("", [state = std::move(state), jobs = std::move(jobs), job = std::move(job), limits] {
    run_remote_load_job(state, jobs, job, limits);
  });
}

}  // namespace melodara
