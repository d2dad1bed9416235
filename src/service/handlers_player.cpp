// Player operations.
#include "service/handlers.h"
#include "service/snapshots.h"

namespace melodara {

HandlerResult handle_player_status(NativeState& state, const Json&) { return player_status_json(state); }

}  // namespace melodara
