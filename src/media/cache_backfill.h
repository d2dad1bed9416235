#pragma once
// The start-up pass over the player cache: every cached YouTube clip gets its
// decoded audio normalised with a side file holding key and tempo, and its
// video when it has none.
#include "media/media_limits.h"

namespace melodara {

// Waits 0.8 s, then goes once through the "clip-yt-" ids of the cache folder
// (from their ".pcm48k" and ".audio" files, in listing order): a ".pcm48k"
// without a valid side file is normalised, analysed and rewritten in place,
// and only then gets its side file; a clip without a usable MP4 has its video
// downloaded. Every failure skips to the next step or id.
// Thread: the unnamed backfill thread started once at start-up. Blocks: for
// the whole pass (downloads included).
// Allocates: yes (tracks, file lists).
void clip_cache_backfill_worker(const MediaLimits& limits = {});

}  // namespace melodara
