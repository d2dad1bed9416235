// "tunewerk.dsp.set": lays any subset of the vocal parameters over the shared
// record, keeps them in range and in step with the mixer, and lets the loaded
// track's key (or the singer's manual key) drive pitch correction.
#pragma once

#include "core/json_writer.h"
#include "state/native_state.h"

namespace melodara {

// In order: a text "routingMode" sets the routing mode; the payload's members
// are read over the parameters all or nothing (a wrong-typed member, a null, a
// number beyond the float range or an array of the wrong length leaves every
// parameter as it was); the ranges are kept; a "vocal_gain" or "beat_volume"
// given as a number sets the mixer gain (within 0..2), else the parameter takes
// the mixer gain; the key follow-up; the audio revision moves on. Never fails;
// a payload that is not an object changes no parameter but still syncs, follows
// and bumps. Thread: request thread, holding the state lock. Allocates: yes.
void apply_dsp_set(NativeState& state, const Json& payload);

}  // namespace melodara
