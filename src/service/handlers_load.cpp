// The load-job and link operations. They run without the state lock and take
// it, or the job table's, only for short steps, never the two nested: the
// downloads, decodes and analyses of a load run with no lock held. A load
// claims the player on the reader, in the order the host sent it; the rest
// runs on its worker.
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "core/counters.h"
#include "media/clip_video.h"
#include "media/fetch_texts.h"
#include "media/load_jobs.h"
#include "media/media_cache.h"
#include "media/media_url.h"
#include "media/player_cache.h"
#include "media/player_load.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"

namespace melodara {
namespace {

ResponseError state_mutex_poisoned() {
  return ResponseError{ErrorCode::InternalError, std::string(kStatePoisonedMessage), true, {}};
}
ResponseError job_table_poisoned() {
  return ResponseError{ErrorCode::InternalError, "Load job table mutex poisoned", true, {}};
}
ResponseError resolver_error(MediaUrlError error) {
  return ResponseError{error.code, std::move(error.message), false, {}};
}

struct LoadRequest {
  std::string source;
  std::string title;
  bool async = false;
  bool auto_play = false;
};

LoadRequest load_request(const Json& payload) {
  return {payload_trimmed_text(payload, {"url"}).value_or(""), payload_text(payload, {"title"}).value_or(""),
          payload_bool(payload, {"async"}).value_or(false),
          payload_bool(payload, {"autoPlay"}).value_or(false)};
}

// A track that need not be loaded again: the player's own when it holds this
// very source, else the memory cache's. The samples are shared, not copied.
std::optional<DecodedMedia> find_loaded(const SharedState& state, const std::string& source) {
  {
    auto g = state->lock();
    const PlayerState& p = g->player;
    if (!g.poisoned() && player_loaded(p) && p.source == source) {
      DecodedMedia media;
      media.samples = p.samples;
      media.detected_key = p.detectedKey;
      media.tempo_known = p.detectedBpm ? 1 : 0;
      media.tempo_bpm = p.detectedBpm.value_or(0.0f);
      media.channels = p.channels;
      media.duration_seconds = p.durationSeconds;
      media.sample_rate = p.mediaSampleRate;
      return media;
    }
  }
  auto entry = media_cache_get(source);
  if (!entry) return std::nullopt;
  DecodedMedia media = std::move(entry->media);
  media.detected_key = std::move(entry->detected_key);
  media.tempo_known = entry->tempo_known;
  media.tempo_bpm = entry->tempo_bpm;
  return media;
}

// The clip video of a page address, fetched in the background when missing.
void fetch_missing_video(const std::string& source) {
  if (!is_page_address(source)) return;
  const auto video = video_cache_path(source);
  if (!video || is_mp4_file(*video)) return;
  try {
    download_clip_video_thread(source, *video);
  } catch (const std::runtime_error&) {
    // No thread for the video: the track plays without it.
  }
}

// A refused claim: its worker answers the error.
RequestRest refused(ResponseError error) {
  return [error = std::move(error)]() mutable -> HandlerResult { return std::unexpected(std::move(error)); };
}

Json cancelled_job_answer(const std::string& id, std::uint64_t generation) {
  return Json{{"jobId", id}, {"mediaGeneration", generation}, {"progress", 10}, {"status", "cancelled"}};
}

// The answer of a load that a later request (a newer load, an unload) has
// overtaken: the player's status, or for an asynchronous load a job that ends
// "cancelled" at once, with the generation this load had taken.
HandlerResult overtaken_answer(const SharedState& state, const LoadJobTable& jobs, const LoadRequest& req,
                               std::uint64_t generation) {
  if (!req.async) {
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_mutex_poisoned());
    return player_status_json(*g);
  }
  LoadJob job;
  job.status = LoadJobStatus::Cancelled;
  job.cancelled = true;
  job.mediaGeneration = generation;
  std::string id;
  {
    auto table = jobs->lock();
    if (table.poisoned()) return std::unexpected(job_table_poisoned());
    id = add_load_job(*table, std::move(job));
  }
  return cancelled_job_answer(id, generation);
}

// Puts a hit into the locked player; returns the track it held, to be dropped
// after the lock.
SharedSamples install_hit_track(NativeState& state, const LoadRequest& req, const DecodedMedia& hit) {
  PlayerState& p = state.player;
  SharedSamples previous = install_player_track(state, hit, req.auto_play);
  if (!req.title.empty()) p.title = req.title;
  p.source = req.source;
  p.playing = req.auto_play;
  return previous;
}

// An asynchronous hit's finished job, and the answer that names it.
HandlerResult hit_job_answer(const SharedState& state, const LoadJobTable& jobs, std::uint64_t generation) {
  std::string id;
  {
    auto table = jobs->lock();
    if (table.poisoned()) return std::unexpected(job_table_poisoned());
    LoadJob job;
    job.status = LoadJobStatus::Completed;
    job.progress = 100;
    job.mediaGeneration = generation;
    id = add_load_job(*table, std::move(job));
  }
  Json answer;
  {
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_mutex_poisoned());
    if (g->player.mediaGeneration == generation) g->player.loadJobId = id;
    answer = player_status_json(*g);
  }
  answer["jobId"] = id;
  answer["mediaGeneration"] = generation;
  answer["progress"] = 100;
  answer["status"] = "completed";
  return answer;
}

// An asynchronous hit's answer names its clip video when that is on disk.
Json with_video_field(const LoadRequest& req, Json answer) {
  if (!req.async) return answer;
  const auto video = video_cache_path(req.source);
  const auto cached_video = video ? cache_file_path_if_large(*video) : std::nullopt;
  answer["videoCachedPath"] = cached_video ? Json(*cached_video) : Json(nullptr);
  return answer;
}

// A hit that carries key and tempo has no slow work: its claim installs it
// and builds the answer. The rest fetches a missing clip video, unless a later
// request has overtaken the load by then.
RequestRest claim_ready_hit(const SharedState& state, const LoadJobTable& jobs, LoadRequest req,
                            const DecodedMedia& hit) {
  SharedSamples previous;  // dropped by the worker
  std::uint64_t generation = 0;
  GenerationWatch watch;
  Json answer;
  {
    auto g = state->lock();
    if (g.poisoned()) return refused(state_mutex_poisoned());
    generation = bump_media_generation(g->player);
    watch = g->player.generationCopy;
    previous = install_hit_track(*g, req, hit);
    if (!req.async) answer = player_status_json(*g);
  }
  cancel_older_load_jobs(jobs, generation);
  if (req.async) {
    auto job = hit_job_answer(state, jobs, generation);
    if (!job) return refused(std::move(job.error()));
    answer = std::move(*job);
  }
  return [req = std::move(req), previous = std::move(previous), answer = std::move(answer), generation,
          watch]() mutable -> HandlerResult {
    previous.reset();
    if (!generation_moved_past(watch, generation)) fetch_missing_video(req.source);
    return with_video_field(req, std::move(answer));
  };
}

// A hit without key or tempo, once its claim took the player's generation:
// analysed, then installed while the player is still on that generation.
HandlerResult install_analysed_hit(const SharedState& state, const LoadJobTable& jobs, const LoadRequest& req,
                                   std::uint64_t generation, const GenerationWatch& watch, DecodedMedia hit) {
  if (generation_moved_past(watch, generation)) return overtaken_answer(state, jobs, req, generation);
  fetch_missing_video(req.source);
  // The analysis needs no lock: the samples never change.
  settle_key_tempo(hit, req.source, req.title);

  SharedSamples previous;  // dropped after the lock
  Json answer;
  {
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_mutex_poisoned());
    if (g->player.mediaGeneration != generation) {
      g.release();
      return overtaken_answer(state, jobs, req, generation);
    }
    previous = install_hit_track(*g, req, hit);
    if (!req.async) answer = player_status_json(*g);
  }
  previous.reset();
  if (req.async) {
    auto job = hit_job_answer(state, jobs, generation);
    if (!job) return job;
    answer = std::move(*job);
  }
  return with_video_field(req, std::move(answer));
}

// Registers the job, which cancels older ones still loading, and starts it. A
// later request that moved the player on before this job registered has made
// it useless: it registers as cancelled and never starts.
HandlerResult start_load_job(const SharedState& state, const LoadJobTable& jobs, const LoadRequest& req,
                             std::uint64_t generation, const GenerationWatch& watch) {
  std::string id;
  bool overtaken = false;
  {
    auto table = jobs->lock();
    if (!table.poisoned()) {
      cancel_superseded_load_jobs(*table, generation);
      LoadJob job;
      job.mediaGeneration = generation;
      // Read inside the table's lock: a newer load bumps the generation
      // before its own cancel pass, so this job is caught by one or the other.
      overtaken = generation_moved_past(watch, generation);
      if (overtaken) {
        job.cancelled = true;
        job.status = LoadJobStatus::Cancelled;
      }
      id = add_load_job(*table, std::move(job));
    }
  }
  if (overtaken) return cancelled_job_answer(id, generation);
  if (id.empty()) {
    auto g = state->lock();
    if (!g.poisoned()) abandon_player_load(*g, generation);
    return std::unexpected(job_table_poisoned());
  }
  {
    auto g = state->lock();
    if (!g.poisoned() && g->player.mediaGeneration == generation) {
      g->player.loadJobId = id;
      g->player.loadProgress = 10;
    }
  }
  if (!spawn_remote_load_job(state, jobs,
                             LoadJobTicket{id, req.source, req.title, generation, req.auto_play, watch})) {
    const std::string message = "failed to spawn thread";
    {
      auto table = jobs->lock();
      if (!table.poisoned()) {
        const auto it = table->jobs.find(id);
        if (it != table->jobs.end() && it->second.status == LoadJobStatus::Loading) {
          it->second.status = LoadJobStatus::Error;
          it->second.error = message;
        }
      }
    }
    auto g = state->lock();
    if (!g.poisoned()) abandon_player_load(*g, generation);
    return std::unexpected(ResponseError{ErrorCode::InternalError, message, true, {}});
  }
  return Json{{"jobId", id}, {"mediaGeneration", generation}, {"progress", 10}, {"status", "loading"}};
}

// Loads on the request's own thread and installs the track while the player
// still waits for this load; a load overtaken meanwhile (by a newer load or an
// unload) stops and answers the status at once.
HandlerResult load_now(const SharedState& state, const LoadRequest& req, std::uint64_t generation,
                       const GenerationWatch& watch) {
  auto loaded = load_media_source_with_player_progress(req.source, state, generation, watch);
  if (!loaded) {
    {
      auto g = state->lock();
      if (!g.poisoned()) {
        if (g->player.mediaGeneration != generation) return player_status_json(*g);
        abandon_player_load(*g, generation);
      }
    }
    return std::unexpected(ResponseError{ErrorCode::InternalError, std::move(loaded.error()), false, {}});
  }
  if (!generation_moved_past(watch, generation)) {
    settle_key_tempo(*loaded, req.source, analysis_hint(req.title, req.source), KeyTempoAnalysis::Always);
  }
  cache_loaded_track(req.source, *loaded);

  SharedSamples previous;  // dropped after the lock
  auto g = state->lock();
  if (g.poisoned()) return std::unexpected(state_mutex_poisoned());
  if (g->player.mediaGeneration == generation) previous = install_player_track(*g, *loaded, req.auto_play);
  return player_status_json(*g);
}

}  // namespace

RequestRest claim_remote_load(const SharedState& state, const LoadJobTable& jobs, const Request& request) {
  LoadRequest req = load_request(request.payload);
  std::optional<DecodedMedia> hit = find_loaded(state, req.source);
  if (hit && carries_key_and_tempo(*hit)) return claim_ready_hit(state, jobs, std::move(req), *hit);

  // The load takes the player over: a new generation and, for a miss, no
  // track, loading.
  SharedSamples previous;  // dropped by the worker
  std::uint64_t generation = 0;
  GenerationWatch watch;
  {
    auto g = state->lock();
    if (g.poisoned()) return refused(state_mutex_poisoned());
    PlayerState& p = g->player;
    generation = bump_media_generation(p);
    watch = p.generationCopy;
    if (!hit) {
      p.playing = false;
      previous = std::exchange(p.samples, std::make_shared<const std::vector<float>>());
      p.position = 0;
      bump(p.trackSerial);
      p.loading = true;
      p.loadProgress = 0;
      p.title = req.title;
      p.source = req.source;
    }
  }
  // A job still loading for an older generation would load for nothing.
  cancel_older_load_jobs(jobs, generation);
  return [state, jobs, req = std::move(req), hit = std::move(hit), previous = std::move(previous), generation,
          watch]() mutable -> HandlerResult {
    previous.reset();
    if (hit) return install_analysed_hit(state, jobs, req, generation, watch, std::move(*hit));
    return req.async ? start_load_job(state, jobs, req, generation, watch)
                     : load_now(state, req, generation, watch);
  };
}

HandlerResult handle_load_status(const SharedState&, const LoadJobTable& jobs, const Request& request) {
  const std::string id = payload_text(request.payload, {"jobId"}).value_or("");
  auto table = jobs->lock();
  if (table.poisoned()) return std::unexpected(job_table_poisoned());
  const auto it = table->jobs.find(id);
  if (it == table->jobs.end()) return std::unexpected(invalid_request("Không tìm thấy job nạp nhạc"));
  const LoadJob& job = it->second;
  return Json{{"cancelled", job.cancelled},
              {"error", job.error ? Json(*job.error) : Json(nullptr)},
              {"jobId", id},
              {"mediaGeneration", job.mediaGeneration},
              {"progress", job.progress},
              {"status", load_job_status_text(job.status)}};
}

HandlerResult handle_load_cancel(const SharedState& state, const LoadJobTable& jobs, const Request& request) {
  const std::string id = payload_text(request.payload, {"jobId"}).value_or("");
  {
    auto table = jobs->lock();
    if (!table.poisoned()) {
      // A finished job keeps its outcome: the track it installed stays.
      const auto it = table->jobs.find(id);
      if (it != table->jobs.end() && it->second.status == LoadJobStatus::Loading) {
        it->second.cancelled = true;
        it->second.status = LoadJobStatus::Cancelled;
      }
    }
  }
  {
    auto g = state->lock();
    if (!g.poisoned()) g->player.loading = false;
  }
  return Json{{"cancelled", true}, {"jobId", id}, {"status", "cancelled"}};
}

HandlerResult handle_resolve_source(const SharedState&, const LoadJobTable&, const Request& request) {
  auto resolved = resolve_media_url(request.payload, kDirectSelector);
  if (!resolved) return std::unexpected(resolver_error(std::move(resolved.error())));
  return std::move(*resolved);
}

HandlerResult handle_resolve_video(const SharedState&, const LoadJobTable&, const Request& request) {
  const Json& payload = request.payload;
  const std::string source = payload_trimmed_text(payload, {"url"}).value_or("");
  if (const auto video = video_cache_path(source)) {
    if (is_mp4_file(*video) || download_clip_video(source, *video)) {
      return Json{{"cachedPath", video->string()}, {"url", video->string()}};
    }
  }
  auto resolved = resolve_media_url(payload, kVideoSelector);
  if (!resolved) return std::unexpected(resolver_error(std::move(resolved.error())));
  Json answer = std::move(*resolved);
  const auto url = answer.find("url");
  std::error_code ec;
  if (url != answer.end() && url->is_string() &&
      std::filesystem::is_regular_file(url->get<std::string>(), ec)) {
    answer["cachedPath"] = Json(url->get<std::string>());
  }
  return answer;
}

}  // namespace melodara
