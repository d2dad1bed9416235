// Seeding the shared engine's live key tracker with a key given from outside
// (the loaded track's analysis or the singer's manual choice).
#pragma once

#include "state/native_state.h"

namespace melodara {

// Locks the tracker of the engine in the state onto the parameters' key
// (`root_key`, `scale_is_minor`) and tempo, and shows them in the shared
// telemetry. Thread: any, holding the state lock. Allocates: no. Blocks: no.
void seed_key_tracker(NativeState& state);

}  // namespace melodara
