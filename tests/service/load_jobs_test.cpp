// Loads through the dispatcher with a stand-in yt-dlp whose download waits at
// a gate the test opens: superseded, cancelled and overtaken loads, the
// memory cache, failures, a side file's key, and a poisoned state at install.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "dispatch_fixture.h"
#include "media/analysis_meta.h"
#include "media/fetch_texts.h"
#include "media/file_io.h"
#include "media/load_ladder.h"
#include "media/media_cache.h"
#include "media/player_cache.h"
#include "media_test_support.h"
#include "service/handlers.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Page addresses of their own for every load of the process: the memory cache
// outlives each test.
std::string fresh_page() {
  static unsigned n = 0;
  char id[16];
  std::snprintf(id, sizeof id, "J%05u%05u", static_cast<unsigned>(::getpid()) % 100000u, ++n % 100000u);
  return std::string("https://www.youtube.com/watch?v=") + id;
}

class LoadJobs : public DispatchFixture {
 protected:
  void SetUp() override {
    ASSERT_FALSE(
        test::make_tone_file(fixtures / "song.m4a", {"-c:a", "aac", "-b:a", "96k"}, 3.0, 0.5).empty());
    ytdlp.put_file("song.m4a", fixtures / "song.m4a");
    ytdlp.put("files.txt", "140 m4a song.m4a\n");
    ytdlp.put("gate.template", "");
  }

  // Lets every download through and waits for every job thread (each holds a
  // reference to the state) and every cache write to end, so nothing of this
  // test writes after its HOME is gone.
  void TearDown() override {
    open_gate();
    EXPECT_TRUE(test::wait_until(
        [&] { return records.state.use_count() == 1 && records.jobs.use_count() == 1; }, 60s));
    for (const auto& source : sources) settle_writes(source);
    for (const auto& run : ytdlp.runs()) EXPECT_TRUE(test::process_gone(run.pid, 30s));
  }

  void open_gate() const { ytdlp.put("open.template", ""); }

  // True once `count` downloads wait at the gate.
  bool downloads_waiting(std::size_t count) const {
    std::size_t n = 0;
    for (const auto& run : ytdlp.runs()) n += test::FakeYtdlp::mode_of(run) == "template" ? 1u : 0u;
    return n >= count;
  }

  static void settle_writes(const std::string& source) {
    if (const auto pcm = pcm_cache_path(source)) wait_for_pending_writes(*pcm);
    if (const auto meta = analysis_meta_path(source)) wait_for_pending_writes(*meta);
  }

  Json load(const std::string& source, Json more = Json::object()) {
    sources.push_back(source);
    more["url"] = source;
    return ok("player.remote-load", std::move(more));
  }
  Json load_async(const std::string& source, bool auto_play = false) {
    return load(source, Json{{"async", true}, {"autoPlay", auto_play}});
  }
  Json job(const std::string& id) { return ok("player.load-status", Json{{"jobId", id}}); }
  Json wait_job_leaves(const std::string& id, const std::string& status) {
    EXPECT_TRUE(test::wait_until([&] { return job(id)["status"] != status; }, 60s)) << id;
    return job(id);
  }
  // Waits for the job threads to end (each holds a reference to the state).
  void wait_jobs_end() {
    ASSERT_TRUE(test::wait_until([&] { return records.state.use_count() == 1; }, 60s));
  }
  PlayerState player() {
    PlayerState copy;
    with_state([&](NativeState& s) { copy = s.player; });
    return copy;
  }

  test::TempDir fixtures;
  test::FakeYtdlp ytdlp;
  std::vector<std::string> sources;
};

TEST_F(LoadJobs, ASecondLoadCancelsTheFirstWhichNeverInstalls) {
  const std::string first = fresh_page(), second = fresh_page();
  EXPECT_EQ(load_async(first),
            (Json{{"jobId", "load-1"}, {"mediaGeneration", 1}, {"progress", 10}, {"status", "loading"}}));
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  EXPECT_EQ(job("load-1")["progress"], 35);
  EXPECT_EQ(ok("player.status")["loadProgress"], 35);

  EXPECT_EQ(load_async(second, true)["jobId"], "load-2");
  EXPECT_EQ(job("load-1"), (Json{{"cancelled", true},
                                 {"error", nullptr},
                                 {"jobId", "load-1"},
                                 {"mediaGeneration", 1},
                                 {"progress", 35},
                                 {"status", "cancelled"}}));
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(2); }, 30s));
  open_gate();
  EXPECT_EQ(wait_job_leaves("load-2", "loading")["status"], "completed");
  wait_jobs_end();

  const Json status = ok("player.status");
  EXPECT_EQ(status["url"], second);
  EXPECT_EQ(status["loadJobId"], "load-2");
  EXPECT_EQ(status["playing"], true);
  EXPECT_EQ(status["mediaGeneration"], 2);
  EXPECT_NEAR(status["durationSeconds"].get<double>(), 3.0, 0.05);
  EXPECT_EQ(job("load-1")["status"], "cancelled");
  EXPECT_EQ(job("load-1")["progress"], 35) << "a cancelled job's progress stands still";
  EXPECT_EQ(job("load-2")["progress"], 100);
}

TEST_F(LoadJobs, CancelMidJobFreezesProgressAndThePlayerStaysEmpty) {
  const std::string page = fresh_page();
  load_async(page, true);
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  EXPECT_EQ(ok("player.load-cancel", Json{{"jobId", "load-1"}}),
            (Json{{"cancelled", true}, {"jobId", "load-1"}, {"status", "cancelled"}}));
  open_gate();
  wait_jobs_end();

  const Json status = ok("player.status");
  EXPECT_EQ(status["loaded"], false);
  EXPECT_EQ(status["playing"], false);
  EXPECT_EQ(status["loading"], false);
  EXPECT_EQ(status["loadProgress"], 35) << "the ladder's later steps moved the host's bar";
  EXPECT_EQ(job("load-1")["status"], "cancelled");
  EXPECT_EQ(job("load-1")["progress"], 35);
  // Cancelling a finished job leaves its outcome alone.
  load_async(ytdlp.control().string() + "/missing.mp3");
  EXPECT_EQ(wait_job_leaves("load-2", "loading")["status"], "error");
  ok("player.load-cancel", Json{{"jobId", "load-2"}});
  EXPECT_EQ(job("load-2")["status"], "error");
}

TEST_F(LoadJobs, UnloadMidJobStopsItAndTheReloadFromTheMemoryCache) {
  const std::string page = fresh_page();
  load_async(page);
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  EXPECT_EQ(ok("player.unload")["mediaGeneration"], 2);
  // Stopped without the gate opening: its download is killed.
  const Json ended = wait_job_leaves("load-1", "loading");
  EXPECT_EQ(ended["status"], "cancelled");
  EXPECT_EQ(ended["cancelled"], true);
  EXPECT_TRUE(test::process_gone(ytdlp.runs().at(0).pid, 2s)) << "the unloaded job's yt-dlp runs on";
  wait_jobs_end();
  const Json empty = ok("player.status");
  EXPECT_EQ(empty["loaded"], false);
  EXPECT_EQ(empty["url"], "");
  EXPECT_EQ(empty["loadProgress"], 0);

  // Loaded in full, then unloaded: the track is at hand, with no second download.
  open_gate();
  EXPECT_EQ(load_async(page)["jobId"], "load-2");
  EXPECT_EQ(wait_job_leaves("load-2", "loading")["status"], "completed");
  wait_jobs_end();
  EXPECT_EQ(ok("player.unload")["mediaGeneration"], 4);
  const std::size_t runs = ytdlp.runs().size();
  const Json again = load_async(page, true);
  EXPECT_EQ(again["status"], "completed");
  EXPECT_EQ(again["progress"], 100);
  EXPECT_EQ(again["jobId"], "load-3");
  EXPECT_EQ(again["loadJobId"], "load-3");
  EXPECT_EQ(again["mediaGeneration"], 5);
  EXPECT_EQ(again["loaded"], true);
  EXPECT_EQ(again["playing"], true);
  EXPECT_EQ(again["videoCachedPath"], nullptr);
  EXPECT_EQ(job("load-3"), (Json{{"cancelled", false},
                                 {"error", nullptr},
                                 {"jobId", "load-3"},
                                 {"mediaGeneration", 5},
                                 {"progress", 100},
                                 {"status", "completed"}}));
  for (std::size_t i = runs; i < ytdlp.runs().size(); ++i) {
    EXPECT_NE(test::FakeYtdlp::mode_of(ytdlp.runs()[i]), "template") << "downloaded again";
  }

  // The player's own track is reused too, shared, from position 0.
  const SharedSamples samples = player().samples;
  with_state([](NativeState& s) { s.player.position = 500; });
  const Json same = load(page, Json{{"title", "Again"}});
  EXPECT_EQ(same["mediaGeneration"], 6);
  EXPECT_EQ(same["title"], "Again");
  EXPECT_EQ(same["positionSeconds"], 0.0);
  EXPECT_EQ(same["playing"], false);
  EXPECT_EQ(player().samples, samples);
}

TEST_F(LoadJobs, AFailingSourceEndsInErrorWithTheLaddersMessage) {
  const std::string missing = (fixtures / "missing.mp3").string();
  const Json started = load_async(missing);
  EXPECT_EQ(started["status"], "loading");
  const Json failed = wait_job_leaves("load-1", "loading");
  EXPECT_EQ(failed["status"], "error");
  EXPECT_EQ(failed["error"], kUndecodableMessage);
  EXPECT_EQ(failed["cancelled"], false);
  wait_jobs_end();
  const Json status = ok("player.status");
  EXPECT_EQ(status["loading"], false);
  EXPECT_EQ(status["loadProgress"], 0);
  EXPECT_EQ(status["url"], missing);

  // Synchronously, the same failure is the answer.
  sources.push_back(missing);
  const Response sync = run("s", "player.remote-load", Json{{"url", missing}});
  expect_error(sync, ErrorCode::InternalError, std::string(kUndecodableMessage));
  EXPECT_FALSE(sync.error->retryable);
  const Response blank = run("b", "player.remote-load", Json{{"url", " "}});
  expect_error(blank, ErrorCode::InternalError, std::string(kMissingSourceMessage));
}

TEST_F(LoadJobs, ASideFilesKeyAndTempoReachTheDspRecord) {
  // A decoded-audio cache with a complete side file: nothing is analysed.
  const std::string source = (fixtures / "cached-song.mp3").string();
  sources.push_back(source);
  std::vector<float> pcm(2 * 48000, 0.25f);
  test::write_file(*pcm_cache_path(source),
                   std::span(reinterpret_cast<const std::uint8_t*>(pcm.data()), pcm.size() * 4));
  const std::string side = R"({"detected_bpm":120.0,"detected_key":"C#m","normalized":true,"version":4})";
  test::write_text(*analysis_meta_path(source), side);
  with_state([](NativeState& s) {
    s.dsp.params.root_key = 7;
    s.dsp.params.scale_is_minor = false;
  });

  load_async(source);
  EXPECT_EQ(wait_job_leaves("load-1", "loading")["status"], "completed");
  wait_jobs_end();
  with_state([](NativeState& s) {
    EXPECT_EQ(s.dsp.params.root_key, 1u);
    EXPECT_TRUE(s.dsp.params.scale_is_minor);
    EXPECT_EQ(s.dsp.params.bpm, 120.0f);
  });
  const Json status = ok("player.status");
  EXPECT_EQ(status["detectedKey"], (Json{{"confidence", 0.92}, {"minor", true}, {"name", "C#m"}}));
  EXPECT_EQ(status["detectedBpm"], 120.0);
  EXPECT_EQ(status["durationSeconds"], 1.0);
  settle_writes(source);
  EXPECT_EQ(test::read_text(*analysis_meta_path(source)), side);
}

// Loss guarded against: a synchronous load overtaken by an unload or a newer
// load ran its tools (and then every later step) to the end before it answered.
TEST_F(LoadJobs, ASynchronousLoadOvertakenMidwayStopsAndInstallsNothing) {
  const std::string page = fresh_page();
  const std::string other = (fixtures / "other.flac").string();
  ASSERT_FALSE(test::make_tone_file(other, {"-c:a", "flac"}, 2.0, 0.5).empty());
  sources.push_back(page);
  Response slow;
  std::thread worker([&] {
    slow = run("slow", "player.remote-load", Json{{"url", page}, {"autoPlay", true}});
  });
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  EXPECT_EQ(player().loadProgress, 35);
  ok("player.unload");
  worker.join();  // answered with the gate still shut
  EXPECT_TRUE(test::process_gone(ytdlp.runs().at(0).pid, 2s)) << "the overtaken load's yt-dlp runs on";
  ASSERT_TRUE(slow.ok) << slow.error->message;
  EXPECT_EQ(slow.result->at("loaded"), false);
  EXPECT_EQ(slow.result->at("url"), "");
  EXPECT_EQ(slow.result->at("playing"), false);

  const Json newer = load(other, Json{{"title", "Other"}});
  EXPECT_EQ(newer["mediaGeneration"], 3);
  EXPECT_NEAR(newer["durationSeconds"].get<double>(), 2.0, 0.05);
  EXPECT_EQ(player().source, other);
  EXPECT_EQ(player().loadProgress, 100);
  for (const auto& run : ytdlp.runs()) EXPECT_EQ(test::FakeYtdlp::mode_of(run), "template");
  EXPECT_EQ(ytdlp.runs().size(), 1u) << "the overtaken load went on to a later step";
}

TEST_F(LoadJobs, ASynchronousLoadStoppedByANewerOneLeavesItsBarAlone) {
  const std::string page = fresh_page();
  sources.push_back(page);
  Response slow;
  std::thread worker([&] { slow = run("slow", "player.remote-load", Json{{"url", page}}); });
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  // A newer load takes the player over meanwhile.
  with_state([](NativeState& s) {
    bump_media_generation(s.player);
    s.player.loading = true;
    s.player.loadProgress = 40;
  });
  worker.join();
  ASSERT_TRUE(slow.ok) << slow.error->message;
  EXPECT_EQ(slow.result->at("loading"), true);
  EXPECT_EQ(slow.result->at("loadProgress"), 40);
  EXPECT_EQ(player().loading, true) << "the newer load's bar was ended";
  EXPECT_EQ(player().loadProgress, 40);
}

// Loss guarded against: loads whose workers reached the player in another
// order than the host sent them left an older one loading.
TEST_F(LoadJobs, LoadsTakeThePlayerInTheOrderClaimedWhateverOrderTheirWorkersRun) {
  const std::string song = (fixtures / "song.m4a").string(), late = fresh_page();
  sources.push_back(song);
  sources.push_back(late);
  // Claimed in the order sent; the workers come the other way round.
  StartedRequest sync = start("player.remote-load", Json{{"url", late}});
  StartedRequest async = start("player.remote-load", Json{{"url", late}, {"async", true}});
  StartedRequest newest = start("player.remote-load", Json{{"url", song}});

  const Response loaded = finish(std::move(newest));
  ASSERT_TRUE(loaded.ok);
  EXPECT_EQ(loaded.result->at("url"), song);
  EXPECT_EQ(loaded.result->at("mediaGeneration"), 3);
  const Response cancelled = finish(std::move(async));
  ASSERT_TRUE(cancelled.ok);
  EXPECT_EQ(*cancelled.result,
            (Json{{"jobId", "load-1"}, {"mediaGeneration", 2}, {"progress", 10}, {"status", "cancelled"}}));
  EXPECT_EQ(job("load-1")["status"], "cancelled");
  EXPECT_EQ(job("load-1")["mediaGeneration"], 2) << "the job and its answer disagree";
  const Response status = finish(std::move(sync));
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(status.result->at("url"), song);
  EXPECT_EQ(status.result->at("mediaGeneration"), 3);
  EXPECT_EQ(player().source, song);
  EXPECT_TRUE(ytdlp.runs().empty()) << "an overtaken load ran its tools";
}

// Loss guarded against: a load sent before an unload installed its track
// after it (and with autoPlay played it), and an overtaken reuse of a track
// still analysed it and fetched its clip video.
TEST_F(LoadJobs, AnUnloadSentAfterALoadLeavesThePlayerEmptyAndTheLoadIdle) {
  struct Case {
    const char* what;
    bool async;
    bool cached;  // a memory-cache hit
    bool knows_key_and_tempo;
  };
  const Case cases[] = {
      {"synchronous miss", false, false, false},
      {"asynchronous miss", true, false, false},
      {"synchronous hit to analyse", false, true, false},
      {"asynchronous hit to analyse", true, true, false},
      {"synchronous hit", false, true, true},
      {"asynchronous hit", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string page = fresh_page();
    sources.push_back(page);
    if (c.cached) {
      DecodedMedia media;
      media.samples = std::make_shared<const std::vector<float>>(2 * 4800, 0.1f);
      media.duration_seconds = 0.1;
      media_cache_put(page, c.knows_key_and_tempo ? MediaCacheEntry{"Am", 1, 96.0f, media}
                                                  : MediaCacheEntry{std::nullopt, 0, 0.0f, media});
    }
    const std::size_t runs_before = ytdlp.runs().size();
    StartedRequest load =
        start("player.remote-load", Json{{"url", page}, {"async", c.async}, {"autoPlay", true}});
    const std::uint64_t claimed = player().mediaGeneration;
    const Json unloaded = ok("player.unload");
    EXPECT_EQ(unloaded["mediaGeneration"], claimed + 1);
    const Response answer = finish(std::move(load));
    ASSERT_TRUE(answer.ok) << answer.error->message;
    wait_jobs_end();

    const Json status = ok("player.status");
    EXPECT_EQ(status["loaded"], false);
    EXPECT_EQ(status["playing"], false);
    EXPECT_EQ(status["loading"], false);
    EXPECT_EQ(status["url"], "");
    if (c.cached && c.knows_key_and_tempo) {
      // Nothing slow to wait for: installed by its claim, before the unload.
      EXPECT_EQ(answer.result->at("loaded"), true);
      EXPECT_EQ(answer.result->at("mediaGeneration"), claimed);
      if (c.async) {
        EXPECT_EQ(job(answer.result->at("jobId").get<std::string>())["status"], "completed");
      }
    } else if (c.async) {
      const std::string id = answer.result->at("jobId");
      EXPECT_EQ(
          *answer.result,
          (Json{{"jobId", id}, {"mediaGeneration", claimed}, {"progress", 10}, {"status", "cancelled"}}));
      EXPECT_EQ(job(id)["status"], "cancelled");
      EXPECT_EQ(job(id)["mediaGeneration"], claimed);
    } else {
      EXPECT_EQ(answer.result->at("loaded"), false) << "not the player's status";
      EXPECT_EQ(answer.result->at("mediaGeneration"), claimed + 1);
    }
    settle_writes(page);
    EXPECT_FALSE(fs::exists(*analysis_meta_path(page))) << "the overtaken load was analysed";
    EXPECT_EQ(ytdlp.runs().size(), runs_before) << "the overtaken load ran yt-dlp (audio or clip video)";
  }
}

TEST_F(LoadJobs, AReusedTracksAnalysisNeverWaitsForTheDisk) {
  // A cached track without key or tempo is analysed again on reuse, while a
  // write of its decoded audio is still running: the load answers at once and
  // the side file follows once that write has ended.
  const std::string source = (fixtures / "reused.mp3").string();
  sources.push_back(source);
  DecodedMedia media;
  media.samples = std::make_shared<const std::vector<float>>(2 * 4800, 0.1f);
  media.duration_seconds = 0.1;
  media_cache_put(source, MediaCacheEntry{std::nullopt, 0, 0.0f, media});
  const fs::path pcm = *pcm_cache_path(source), meta = *analysis_meta_path(source);
  begin_pending_write(pcm);

  std::atomic<bool> answered = false;
  Response reply;
  std::thread worker([&] {
    reply = run("r", "player.remote-load", Json{{"url", source}, {"title", "Reused"}});
    answered = true;
  });
  const bool in_time = test::wait_until([&] { return answered.load(); }, 30s);
  EXPECT_FALSE(fs::exists(meta)) << "the side file stands before the audio it vouches for";
  end_pending_write(pcm);
  worker.join();
  ASSERT_TRUE(in_time) << "the load waited for the cache write";
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.result->at("detectedBpm"), 76.0);
  EXPECT_EQ(reply.result->at("loaded"), true);

  settle_writes(source);
  const auto side = read_analysis_meta(source);
  ASSERT_TRUE(side.has_value());
  EXPECT_EQ(side->detected_bpm, 76.0f);
}

TEST_F(LoadJobs, APoisonedStateAtASynchronousInstall) {
  const std::string sync_page = fresh_page();
  sources.push_back(sync_page);
  Response sync;
  std::thread worker([&] { sync = run("sync", "player.remote-load", Json{{"url", sync_page}}); });
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  poison_state();
  open_gate();
  worker.join();
  expect_error(sync, ErrorCode::InternalError, "State mutex poisoned");
  EXPECT_TRUE(sync.error->retryable);

  // Later loads are refused at their first step; locked operations by the dispatcher.
  const Response later = run("l", "player.remote-load", Json{{"url", fresh_page()}});
  expect_error(later, ErrorCode::InternalError, "State mutex poisoned");
  EXPECT_TRUE(later.error->retryable);
  const Response play = run("p", "player.play", nullptr, 5);
  expect_error(play, ErrorCode::InternalError, "Native state mutex poisoned");
  EXPECT_EQ(play.sessionEpoch, 5u);
}

TEST_F(LoadJobs, APoisonedStateAtAJobsInstall) {
  load_async(fresh_page());
  ASSERT_TRUE(test::wait_until([&] { return downloads_waiting(1); }, 30s));
  poison_state();
  open_gate();
  const Json failed = wait_job_leaves("load-1", "loading");
  EXPECT_EQ(failed["status"], "error");
  EXPECT_EQ(failed["error"], "State mutex poisoned");
  // The job operations do not need the state.
  EXPECT_EQ(job("load-1")["status"], "error");
  EXPECT_EQ(ok("player.load-cancel", Json{{"jobId", "load-1"}})["status"], "cancelled");
}

TEST_F(LoadJobs, APoisonedJobTable) {
  try {
    auto guard = records.jobs->lock();
    throw std::runtime_error("failed");
  } catch (const std::runtime_error&) {}
  const Response status = run("s", "player.load-status", Json{{"jobId", "load-1"}});
  expect_error(status, ErrorCode::InternalError, "Load job table mutex poisoned");
  EXPECT_TRUE(status.error->retryable);
  const std::string missing = (fixtures / "missing.mp3").string();
  sources.push_back(missing);
  const Response async = run("a", "player.remote-load", Json{{"url", missing}, {"async", true}});
  expect_error(async, ErrorCode::InternalError, "Load job table mutex poisoned");
  EXPECT_EQ(player().loading, false) << "no job will ever end this load";
  EXPECT_EQ(ok("player.load-cancel", Json{{"jobId", "x"}})["cancelled"], true);
}

TEST_F(LoadJobs, ResolveVideoAnswersTheClipsFileOrItsAddress) {
  const std::string page = fresh_page();
  const fs::path video = *video_cache_path(page);
  ytdlp.put("g.txt", "https://media.example/v.mp4\n");
  // No video to download: the address yt-dlp prints for the video selector.
  EXPECT_EQ(ok("player.resolve-video", Json{{"url", " " + page + " "}}),
            (Json{{"url", "https://media.example/v.mp4"}}));
  auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(test::FakeYtdlp::mode_of(runs[0]), "video");
  EXPECT_EQ(test::FakeYtdlp::mode_of(runs[1]), "g");
  EXPECT_NE(std::find(runs[1].args.begin(), runs[1].args.end(), std::string(kVideoSelector)),
            runs[1].args.end());
  EXPECT_FALSE(fs::exists(video));

  // Downloaded, then cached: the file itself, with no further run.
  ASSERT_FALSE(test::make_clip_video(fixtures / "clip.mp4", 1.0, 0.3).empty());
  ytdlp.put_file("video.mp4", fixtures / "clip.mp4");
  const Json file{{"cachedPath", video.string()}, {"url", video.string()}};
  EXPECT_EQ(ok("player.resolve-video", Json{{"url", page}}), file);
  EXPECT_EQ(ytdlp.runs().size(), 3u);
  EXPECT_EQ(ok("player.resolve-video", Json{{"url", page}}), file);
  EXPECT_EQ(ytdlp.runs().size(), 3u);

  // A folder is no file to show.
  EXPECT_EQ(ok("player.resolve-video", Json{{"url", fixtures.path().string()}}),
            (Json{{"url", fixtures.path().string()}}));
}

TEST_F(LoadJobs, UnknownJobs) {
  expect_error(run("s", "player.load-status", Json{{"jobId", "load-9"}}), ErrorCode::InvalidRequest,
               "Không tìm thấy job nạp nhạc");
  expect_error(run("s", "player.load-status"), ErrorCode::InvalidRequest, "Không tìm thấy job nạp nhạc");
  with_state([](NativeState& s) { s.player.loading = true; });
  EXPECT_EQ(ok("player.load-cancel", Json{{"jobId", "nope"}}),
            (Json{{"cancelled", true}, {"jobId", "nope"}, {"status", "cancelled"}}));
  EXPECT_EQ(player().loading, false);
}

// Every container and codec the decoders take loads from a local file with
// its duration, as a 48 kHz stereo track.
class LocalFiles : public DispatchFixture, public ::testing::WithParamInterface<test::Format> {};

TEST_P(LocalFiles, LoadWithTheirDuration) {
  const test::Format& f = GetParam();
  const test::TempDir dir;
  const fs::path file = test::make_media(dir, f, 1.5);
  ASSERT_FALSE(file.empty());
  const Json status = ok("player.remote-load", Json{{"url", file.string()}, {"title", f.name}});
  EXPECT_EQ(status["loaded"], true);
  EXPECT_EQ(status["loading"], false);
  EXPECT_EQ(status["loadProgress"], 100);
  EXPECT_EQ(status["channels"], 2);
  EXPECT_EQ(status["sampleRate"], 48000);
  EXPECT_NEAR(status["durationSeconds"].get<double>(), 1.5, f.duration_tolerance);
  with_state([&](NativeState& s) {
    EXPECT_EQ(s.player.samples->size(),
              2 * static_cast<std::size_t>(std::llround(s.player.durationSeconds * 48000.0)));
  });
  // The cache writes read nothing of `dir`, but they write under this test's HOME.
  if (const auto pcm = pcm_cache_path(file.string())) wait_for_pending_writes(*pcm);
  if (const auto meta = analysis_meta_path(file.string())) wait_for_pending_writes(*meta);
}

INSTANTIATE_TEST_SUITE_P(Formats, LocalFiles, ::testing::ValuesIn(test::formats()),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

}  // namespace
}  // namespace melodara
