#include "state/key_tracker_seed.h"

namespace melodara {

void seed_key_tracker(NativeState&) {}

}  // namespace melodara
