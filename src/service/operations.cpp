#include "service/operations.h"

#include <algorithm>

#include "service/handlers.h"

namespace melodara {
namespace {

constexpr auto Locked = LockClass::Locked;
constexpr auto Unlocked = LockClass::UnlockedSlowWork;
constexpr auto Reader = RunsOn::ReaderThread;
constexpr auto Worker = RunsOn::WorkerThread;

// One line per operation, in handshake order.
constexpr std::array<Operation, 45> kOperations = {{
    {"system.handshake", Locked, Reader, handle_handshake},
    {"player.remote-load", Unlocked, Worker, claim_remote_load},
    {"player.load-status", Unlocked, Reader, handle_load_status},
    {"player.load-cancel", Unlocked, Reader, handle_load_cancel},
    {"player.search-youtube", Unlocked, Worker, handle_search_youtube},
    {"player.search-bilibili", Unlocked, Worker, handle_search_bilibili},
    {"player.resolve-source", Unlocked, Worker, handle_resolve_source},
    {"player.resolve-video", Unlocked, Worker, handle_resolve_video},
    {"player.play", Locked, Reader, handle_player_play},
    {"player.pause", Locked, Reader, handle_player_pause},
    {"player.seek", Locked, Reader, handle_player_seek},
    {"player.recalculate-key", Locked, Reader, handle_player_recalculate_key},
    {"player.status", Locked, Reader, handle_player_status},
    {"player.unload", Locked, Reader, handle_player_unload},
    {"devices.list", Unlocked, Reader, handle_devices_list},
    {"audio.configure", Locked, Reader, handle_audio_configure},
    {"audio.start", Locked, Reader, handle_audio_start},
    {"audio.stop", Locked, Reader, handle_audio_stop},
    {"audio.status", Locked, Reader, handle_audio_status},
    {"audio.session.get", Locked, Reader, handle_audio_status},
    {"audio.program-stream.open", Locked, Reader, handle_program_stream_open},
    {"audio.program-stream.close", Locked, Reader, handle_program_stream_close},
    {"audio.program-stream.status", Locked, Reader, handle_program_stream_status},
    {"audio.publish-output.open", Locked, Reader, handle_publish_output_open},
    {"audio.publish-output.close", Locked, Reader, handle_publish_output_close},
    {"audio.publish-output.status", Locked, Reader, handle_publish_output_status},
    {"audio.set-mixer", Locked, Reader, handle_audio_set_mixer},
    {"audio.mute", Locked, Reader, handle_audio_mute},
    {"audio.soundboard.trigger", Locked, Reader, handle_soundboard_trigger},
    {"audio.soundboard.stop", Locked, Reader, handle_soundboard_stop},
    {"tunewerk.dsp.get", Locked, Reader, handle_dsp_get},
    {"tunewerk.dsp.set", Locked, Reader, handle_dsp_set},
    {"tunewerk.dsp.preset", Locked, Reader, handle_dsp_preset},
    {"tunewerk.dsp.reverb-mode", Locked, Reader, handle_dsp_reverb_mode},
    {"tunewerk.dsp.audio-chain", Locked, Reader, handle_dsp_audio_chain},
    {"tunewerk.dsp.voice-profile", Locked, Reader, handle_dsp_voice_profile},
    {"tunewerk.dsp.routing", Locked, Reader, handle_dsp_routing},
    {"tunewerk.dsp.telemetry", Locked, Reader, handle_dsp_get},
    {"tunewerk.voice-cal.start", Locked, Reader, handle_voice_cal_start},
    {"tunewerk.voice-cal.status", Locked, Reader, handle_voice_cal_status},
    {"tunewerk.voice-cal.finish", Locked, Reader, handle_voice_cal_finish},
    {"tunewerk.voice-cal.cancel", Locked, Reader, handle_voice_cal_cancel},
    {"tunewerk.record.start", Locked, Reader, handle_record_start},
    {"tunewerk.record.stop", Unlocked, Worker, claim_record_stop},
    {"tunewerk.record.status", Locked, Reader, handle_record_status},
}};

constexpr std::array<std::string_view, kOperations.size()> names_of_operations() {
  std::array<std::string_view, kOperations.size()> names;
  std::ranges::transform(kOperations, names.begin(), &Operation::name);
  return names;
}

}  // namespace

constexpr std::array<std::string_view, 45> SUPPORTED_OPERATIONS = names_of_operations();

const Operation* find_operation(std::string_view name) {
  const auto it = std::ranges::find(kOperations, name, &Operation::name);
  return it == kOperations.end() ? nullptr : &*it;
}

bool is_worker_operation(std::string_view name) {
  const Operation* op = find_operation(name);
  return op != nullptr && op->runs_on == RunsOn::WorkerThread;
}

Json supported_operations_json() {
  Json list = Json::array();
  for (const auto name : SUPPORTED_OPERATIONS) list.push_back(json_string_from_str(name));
  return list;
}

}  // namespace melodara
