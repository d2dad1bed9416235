#include "service/service_main.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "core/process_runner.h"
#include "core/threads.h"
#include "core/wav_writer.h"
#include "dsp/saved_voice_profile.h"
#include "engine/engine_thread.h"
#include "engine/recording_export.h"
#include "media/cache_backfill.h"
#include "media/player_cache.h"
#include "service/exports_in_flight.h"
#include "service/request_loop.h"
#include "service/response_output.h"
#include "service/startup.h"
#include "state/voice_calibration.h"

namespace melodara {

void service_main() {
  // A host that closes our stdout must not kill us; writes then just fail.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    ServiceRecords records = build_service_records();
    // What a killed run left half-written goes before any thread that writes
    // starts: until then a temporary under our own pid is a former run's too.
    remove_stale_export_temporaries(downloads_dir());
    remove_stale_cache_temporaries();
    remove_stale_voice_profile_temporaries();
    std::shared_ptr<ProgramStream> primary, backing;
    std::shared_ptr<VoiceProfileWriter> profile_writer;
    {
      auto g = records.state->lock();
      primary = g->programStream;
      backing = g->backingStream;
      profile_writer = g->voiceProfileWriter;
    }
    if (!spawn_detached("melodara-tunewerk-realtime-dsp", [state = records.state, backing, primary] {
          run_audio_engine(state, backing, primary);
        }))
      die("realtime DSP worker must spawn");
    // Saves the profiles of calibrations the engine completes: the engine writes no files.
    if (!spawn_detached("voice-profile", [state = records.state, writer = profile_writer] {
          run_voice_profile_writer(state, *writer);
        }))
      die("failed to spawn thread");
    if (!spawn_detached("", [] { clip_cache_backfill_worker(); })) die("failed to spawn thread");
    ResponseOutput output = make_response_output(1);
    run_request_loop(0, records.state, records.jobs, output);
    // A take stopped just before the host quit still reaches its files.
    wait_for_exports(std::chrono::seconds(60));
    // Downloads and decodes still running end with us, not after us.
    kill_running_children();
  } catch (const std::bad_alloc&) {
    std::fputs("memory allocation failed\n", stderr);
    std::abort();
  } catch (const std::exception& e) {
    // A fatal failure on the main thread ends the service.
    std::fprintf(stderr, "thread 'main' failed: %s\n", e.what());
    std::fflush(stderr);
    kill_running_children();
    std::_Exit(101);
  }
  // Other threads may still run: end without tearing anything down under them.
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace melodara
