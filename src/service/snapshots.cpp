#include "service/snapshots.h"

#include <cmath>

#include "dsp/dsp_params.h"
#include "engine/program_stream.h"
#include "media/player_cache.h"

namespace melodara {
namespace {

Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

Json stream_status(const std::shared_ptr<ProgramStream>& slot) {
  return slot ? program_stream_status_json(program_stream_status(*slot)) : Json(nullptr);
}

Json audio_device_json(const AudioDevice& d) {
  return Json{{"backend", d.backend},
              {"id", d.id},
              {"isDefault", d.is_default},
              {"isVirtual", d.is_virtual},
              {"kind", d.kind},
              {"label", d.label},
              {"name", d.name}};
}

std::optional<std::string> cached_video_path(const std::string& source) {
  const auto path = video_cache_path(source);
  return path ? cache_file_path_if_large(*path) : std::nullopt;
}

}  // namespace

Json program_stream_status_json(const ProgramStreamStatus& s) {
  return Json{
      {"state", s.active ? "active" : "closed"}, {"sampleRate", kProgramStreamSampleRate},
      {"channels", kProgramStreamChannels},      {"frameSamples", kProgramStreamPacketFrames},
      {"sentPackets", s.sent_packets},           {"sentFrames", s.sent_frames},
      {"droppedFrames", s.dropped_frames},       {"error", s.error ? Json(*s.error) : Json(nullptr)},
  };
}

Json devices_list_json(const DeviceLists& lists, const std::optional<std::string>& bus_name) {
  Json inputs = Json::array(), outputs = Json::array();
  for (const auto& d : lists.inputs) inputs.push_back(audio_device_json(d));
  for (const auto& d : lists.outputs) outputs.push_back(audio_device_json(d));
  auto first_id = [](const std::vector<AudioDevice>& l) {
    return l.empty() ? Json(nullptr) : Json(l.front().id);
  };
  return Json{
      {"audioInputs", inputs},
      {"audioOutputs", outputs},
      {"cameras", Json::array()},
      {"defaultCamera", nullptr},
      {"defaultInput", first_id(lists.inputs)},
      {"defaultOutput", first_id(lists.outputs)},
      {"inputs", inputs},
      {"outputs", outputs},
      {"platform", "macos"},
      {"virtualMic",
       {{"active", bus_name.has_value()},
        {"hiddenFromOwnInput", true},
        {"id", bus_name ? Json(*bus_name) : Json(nullptr)},
        {"name", kVirtualMicName}}},
  };
}

Json recording_json(const RecorderSlot& slot, RecorderTarget target, bool recording, float duration_sec) {
  const float rounded = std::round(duration_sec * 100.0f) / 100.0f;  // half away from zero
  Json j = Json::object();
  j["beatPath"] = slot.beatPath;
  j["dryPath"] = slot.dryPath;
  j["durationSec"] = json_from_f32(rounded);
  j["ok"] = true;
  j["recording"] = recording;
  j["savedPath"] = slot.savedPath;
  j["sharePath"] = slot.sharePath;
  j["target"] = recorder_target_name(target);
  j["vocalPath"] = slot.vocalPath;
  return j;
}

Json recording_status_json(const RecorderSlot& slot, RecorderTarget target) {
  const float duration = slot.active ? float(slot.mix.size()) / 96000.0f : slot.durationSec;
  return recording_json(slot, target, slot.active, duration);
}

Json recording_slot_json(const RecorderSlot& slot) {
  Json j = stage_recording_slot_json(slot);
  j["beatPath"] = slot.beatPath;
  j["dryPath"] = slot.dryPath;
  j["vocalPath"] = slot.vocalPath;
  return j;
}

Json stage_recording_slot_json(const RecorderSlot& slot) {
  Json j = Json::object();
  j["active"] = slot.active;
  j["durationSec"] = json_from_f32(slot.durationSec);
  j["savedPath"] = slot.savedPath;
  j["sharePath"] = slot.sharePath;
  return j;
}

Json player_status_json(const NativeState& state) {
  const PlayerState& p = state.player;
  const auto video = cached_video_path(p.source);
  Json j = Json::object();
  j["channels"] = p.channels >= 3 ? p.channels : 2;
  j["detectedBpm"] = p.detectedBpm ? json_from_f32(*p.detectedBpm) : Json(nullptr);
  if (p.detectedKey) {
    j["detectedKey"] =
        Json{{"confidence", 0.92}, {"minor", p.detectedKey->ends_with("m")}, {"name", *p.detectedKey}};
  } else {
    j["detectedKey"] = nullptr;
  }
  j["detectedKeyName"] = optional_text(p.detectedKey);
  j["durationSeconds"] = json_from_f64(p.durationSeconds);
  j["loadJobId"] = optional_text(p.loadJobId);
  j["loadProgress"] = p.loadProgress;
  j["loaded"] = player_loaded(p);
  j["loading"] = p.loading;
  j["mediaGeneration"] = p.mediaGeneration;
  j["playing"] = p.playing;
  const double rate = p.mediaSampleRate == 0 ? 1.0 : static_cast<double>(p.mediaSampleRate);
  j["positionSeconds"] = json_from_f64(static_cast<double>(p.position) / rate);
  j["sampleRate"] = p.mediaSampleRate > 48000 ? p.mediaSampleRate : 48000u;
  j["tempoSource"] = p.detectedBpm ? Json("player-live") : Json(nullptr);
  j["title"] = p.title;
  j["url"] = p.source;
  j["videoCachedPath"] = optional_text(video);
  return j;
}

Json dsp_state_json(const NativeState& s) {
  const DspMeters& m = s.telemetry;
  Json j = Json::object();
  j["acoustic_feedback_risk"] = s.acousticFeedbackRisk;
  j["anti_howl_active"] = s.antiHowlActive;
  j["audioChain"] = s.audioChain;
  j["backing_uplink_peak_db"] = json_from_f32(s.backingUplinkPeakDb);
  j["backing_uplink_rms_db"] = json_from_f32(s.backingUplinkRmsDb);
  j["beat_rms_db"] = json_from_f32(m.beat_rms_db);
  j["comp_reduction_db"] = json_from_f32(m.comp_reduction_db);
  j["corrected_vocal_hz"] = json_from_f32(m.corrected_vocal_hz);
  j["deesser_reduction_db"] = json_from_f32(m.deesser_reduction_db);
  j["detected_bpm"] = json_from_f32(m.detected_bpm);
  j["detected_key_name"] = std::string(m.detected_key_name.view());
  j["detected_vocal_hz"] = json_from_f32(m.detected_vocal_hz);
  j["gate_open"] = m.gate_open;
  j["input_device_id"] = optional_text(s.inputDeviceId);
  j["input_muted"] = s.inputMuted;
  j["latency_ms"] = json_from_f32(m.latency_ms);
  j["master_peak_db"] = json_from_f32(m.master_peak_db);
  j["mic_gain"] = json_from_f32(s.micGain);
  j["monitor_crackle_pct"] = json_from_f32(s.monitorCracklePct);
  j["monitor_enabled"] = s.monitorEnabled;
  j["monitor_gain"] = json_from_f32(s.monitorGain);
  j["monitor_peak_db"] = json_from_f32(s.monitorPeakDb);
  j["monitor_rms_db"] = json_from_f32(s.monitorRmsDb);
  j["muted"] = s.muted;
  j["output_device_id"] = optional_text(s.outputDeviceId);
  j["params"] = dsp_params_to_json(s.dsp.params);
  j["presetId"] = s.presetId;
  j["primary_uplink_peak_db"] = json_from_f32(s.primaryUplinkPeakDb);
  j["primary_uplink_rms_db"] = json_from_f32(s.primaryUplinkRmsDb);
  j["publish_muted"] = s.muted;
  j["recording"] = recording_slot_json(s.recording);
  j["reverbMode"] = s.reverbMode;
  j["routingMode"] = s.routingMode;
  j["routing_mode"] = s.routingMode;
  j["stageRecording"] = stage_recording_slot_json(s.stageRecording);
  j["telemetry"] = dsp_meters_to_json(m);
  j["vocal_rms_db"] = json_from_f32(m.vocal_rms_db);
  j["voiceCal"] = voice_cal_status_to_json(s.voiceCal);
  j["voiceProfile"] = s.voiceProfile;
  return j;
}

Json audio_status_json(const NativeState& s) {
  Json mixer = Json::object();
  mixer["acousticFeedbackRisk"] = s.acousticFeedbackRisk;
  mixer["antiHowlActive"] = s.antiHowlActive;
  mixer["inputMuted"] = s.inputMuted;
  mixer["masterGain"] = json_from_f32(s.masterGain);
  mixer["micGain"] = json_from_f32(s.micGain);
  mixer["monitorEnabled"] = s.monitorEnabled;
  mixer["monitorGain"] = json_from_f32(s.monitorGain);
  mixer["musicGain"] = json_from_f32(s.musicGain);
  mixer["muted"] = s.muted;
  mixer["publishMuted"] = s.muted;
  mixer["vocalGain"] = json_from_f32(s.micGain);

  Json bus = Json::object();
  bus["backingUplinkPeakDb"] = json_from_f32(s.backingUplinkPeakDb);
  bus["backingUplinkRmsDb"] = json_from_f32(s.backingUplinkRmsDb);
  bus["monitorCracklePct"] = json_from_f32(s.monitorCracklePct);
  bus["monitorPeakDb"] = json_from_f32(s.monitorPeakDb);
  bus["monitorRmsDb"] = json_from_f32(s.monitorRmsDb);
  bus["primaryUplinkPeakDb"] = json_from_f32(s.primaryUplinkPeakDb);
  bus["primaryUplinkRmsDb"] = json_from_f32(s.primaryUplinkRmsDb);

  Json j = Json::object();
  j["acousticFeedbackRisk"] = s.acousticFeedbackRisk;
  j["antiHowlActive"] = s.antiHowlActive;
  j["audioRevision"] = s.audioRevision;
  j["backingStream"] = stream_status(s.backingStream);
  j["bufferSize"] = s.bufferSize;
  j["buildId"] = kBuildId;
  j["busAudit"] = std::move(bus);
  j["dsp"] = dsp_state_json(s);
  j["engine"] = kBuildId;
  j["inputDeviceId"] = optional_text(s.inputDeviceId);
  j["inputMode"] = s.routingMode == "daw-vocal" ? "daw-vocal" : "native-vocal";
  j["inputMuted"] = s.inputMuted;
  j["mixer"] = std::move(mixer);
  j["muted"] = s.muted;
  j["nativeProtocolVersion"] = 2;
  j["outputDeviceId"] = optional_text(s.outputDeviceId);
  j["player"] = player_status_json(s);
  j["programStream"] = stream_status(s.programStream);
  j["publishMuted"] = s.muted;
  j["routingMode"] = s.routingMode;
  j["running"] = s.running;
  j["sampleRate"] = s.sampleRate;
  j["telemetry"] = dsp_meters_to_json(s.telemetry);
  return j;
}

}  // namespace melodara
