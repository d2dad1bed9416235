// Loads the source named by its argument through the load ladder, waits for
// its cache writes and prints "ok <samples>" or "error <message>"; a test
// kills it at chosen moments.
#include <cstdio>
#include <string>

#include "media/file_io.h"
#include "media/load_ladder.h"
#include "media/player_cache.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto media = melodara::load_media_source(argv[1], nullptr);
  // The cache files are written behind the load: let them finish.
  if (const auto pcm = melodara::pcm_cache_path(argv[1])) melodara::wait_for_pending_writes(*pcm);
  if (!media) {
    std::printf("error %s\n", media.error().c_str());
    return 1;
  }
  std::printf("ok %zu\n", media->samples->size());
  return 0;
}
