// The operation table: every supported operation with its lock class and handler.
#include <algorithm>

#include "service/dispatch.h"
#include "service/handlers.h"

namespace melodara {
namespace {

// Operations whose subsystem has not been built into this service yet.
HandlerResult not_available() {
  return std::unexpected(
      ResponseError{ErrorCode::InternalError, "operation not available in this build", false, {}});
}
HandlerResult locked_not_available(NativeState&, const Json&) { return not_available(); }
HandlerResult brief_not_available(const SharedState&, const LoadJobTable&, const Json&) {
  return not_available();
}

constexpr LockedHandler held_todo = locked_not_available;
constexpr BriefHandler brief_todo = brief_not_available;

constexpr OperationEntry held(std::string_view name, LockedHandler h) { return {name, h, nullptr}; }
constexpr OperationEntry brief(std::string_view name, BriefHandler h) { return {name, nullptr, h}; }

constexpr std::array<OperationEntry, 45> kOperations = {
    held("system.handshake", handle_handshake),
    brief("player.remote-load", brief_todo),
    brief("player.load-status", brief_todo),
    brief("player.load-cancel", brief_todo),
    brief("player.search-youtube", brief_todo),
    brief("player.search-bilibili", brief_todo),
    brief("player.resolve-source", brief_todo),
    brief("player.resolve-video", brief_todo),
    held("player.play", held_todo),
    held("player.pause", held_todo),
    held("player.seek", held_todo),
    held("player.recalculate-key", held_todo),
    held("player.status", handle_player_status),
    held("player.unload", held_todo),
    brief("devices.list", handle_devices_list),
    held("audio.configure", handle_audio_configure),
    held("audio.start", handle_audio_start),
    held("audio.stop", handle_audio_stop),
    held("audio.status", handle_audio_status),
    held("audio.session.get", handle_audio_status),
    held("audio.program-stream.open", handle_program_stream_open),
    held("audio.program-stream.close", handle_program_stream_close),
    held("audio.program-stream.status", handle_program_stream_status),
    held("audio.publish-output.open", handle_publish_output_open),
    held("audio.publish-output.close", handle_publish_output_close),
    held("audio.publish-output.status", handle_publish_output_status),
    held("audio.set-mixer", handle_audio_set_mixer),
    held("audio.mute", handle_audio_mute),
    held("audio.soundboard.trigger", handle_soundboard_trigger),
    held("audio.soundboard.stop", handle_soundboard_stop),
    held("tunewerk.dsp.get", handle_dsp_get),
    held("tunewerk.dsp.set", held_todo),
    held("tunewerk.dsp.preset", held_todo),
    held("tunewerk.dsp.reverb-mode", held_todo),
    held("tunewerk.dsp.audio-chain", held_todo),
    held("tunewerk.dsp.voice-profile", held_todo),
    held("tunewerk.dsp.routing", handle_dsp_routing),
    held("tunewerk.dsp.telemetry", handle_dsp_get),
    held("tunewerk.voice-cal.start", held_todo),
    held("tunewerk.voice-cal.status", held_todo),
    held("tunewerk.voice-cal.finish", held_todo),
    held("tunewerk.voice-cal.cancel", held_todo),
    held("tunewerk.record.start", handle_record_start),
    brief("tunewerk.record.stop", handle_record_stop),
    held("tunewerk.record.status", handle_record_status),
};

// The table and the protocol's list of names must agree entry for entry.
constexpr bool table_matches_protocol() {
  for (std::size_t i = 0; i < kOperations.size(); ++i)
    if (kOperations[i].name != SUPPORTED_OPERATIONS[i]) return false;
  return true;
}
static_assert(table_matches_protocol());

}  // namespace

const OperationEntry* find_operation(std::string_view name) {
  const auto it = std::ranges::find(kOperations, name, &OperationEntry::name);
  return it == kOperations.end() ? nullptr : &*it;
}

}  // namespace melodara
