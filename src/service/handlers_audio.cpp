// Audio, mixer, program-stream and device operations.
#include <algorithm>
#include <cctype>

#include "core/counters.h"
#include "engine/device_list.h"
#include "engine/device_names.h"
#include "engine/program_stream.h"
#include "engine/routing_mode.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"

namespace melodara {
namespace {

std::optional<float> payload_gain(const Json& payload, Keys aliases) {
  const auto value = payload_number(payload, aliases);
  if (!value) return std::nullopt;
  return clamp_gain(static_cast<float>(*value));
}

bool has_key(const Json& payload, std::string_view key) { return payload_value(payload, {key}) != nullptr; }

// Ids the host may send that name no device of its choosing.
bool is_placeholder_device_id(std::string_view id) {
  if (id.empty() || id == "default") return true;
  if (id.size() != 64) return false;
  for (const char c : id)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

ProgramStream& stream_slot(NativeState& state, const Json& payload, bool by_role) {
  const bool backing = by_role && payload_text(payload, {"role"}) == "backing";
  return backing ? *state.backingStream : *state.programStream;
}

HandlerResult open_stream(NativeState& state, const Json& payload, bool by_role) {
  ProgramStream& slot = stream_slot(state, payload, by_role);
  const std::string host = payload_text(payload, {"host"}).value_or("127.0.0.1");
  const std::uint64_t port = payload_unsigned(payload, {"port"}).value_or(0);
  const std::string token = payload_text(payload, {"token"}).value_or("");
  state.running = true;
  auto opened = program_stream_open(slot, host, port, token);
  if (!opened) return std::unexpected(invalid_request(opened.error()));
  return program_stream_status_json(*opened);
}

HandlerResult close_stream(NativeState& state, const Json& payload, bool by_role) {
  ProgramStream& slot = stream_slot(state, payload, by_role);
  program_stream_close(slot);
  return program_stream_status_json(program_stream_status(slot));
}

HandlerResult stream_status(NativeState& state, const Json& payload, bool by_role) {
  return program_stream_status_json(program_stream_status(stream_slot(state, payload, by_role)));
}

}  // namespace

std::uint64_t parse_routing_mode(NativeState& state, std::string_view text) {
  state.routingMode = std::string(canonical_routing_mode(text));
  bump(state.audioRevision);
  return state.audioRevision;
}

HandlerResult handle_audio_configure(NativeState& state, const Json& payload) {
  bool devices_changed = false;
  if (auto output = payload_trimmed_text(payload, {"outputDeviceId", "output_device_id", "outputId"})) {
    if (!is_placeholder_device_id(*output) && !is_own_virtual_device(*output, *output) &&
        state.outputDeviceId != *output) {
      state.outputDeviceId = *output;
      devices_changed = true;
    }
  }
  if (auto input = payload_trimmed_text(payload, {"inputDeviceId", "input_device_id", "inputId"})) {
    const std::string current_output = state.outputDeviceId.value_or("");
    if (!is_placeholder_device_id(*input) && !is_own_virtual_device(*input, *input) &&
        !input_mirrors_output(*input, *input, current_output, current_output) &&
        state.inputDeviceId != *input) {
      state.inputDeviceId = *input;
      devices_changed = true;
    }
  }
  if (auto rate = payload_unsigned(payload, {"sampleRate"}))
    state.sampleRate = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*rate, 44'100, 96'000));
  if (auto frames = payload_unsigned(payload, {"bufferSize", "bufferFrames"}))
    state.bufferSize = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*frames, 64, 2'048));
  if (auto mode = payload_text(payload, {"routingMode"})) {
    parse_routing_mode(state, *mode);
  } else if (auto input_mode = payload_text(payload, {"inputMode"})) {
    if (*input_mode == "daw" || *input_mode == "daw-vocal" || *input_mode == "raw-mic" ||
        *input_mode == "external-mix") {
      parse_routing_mode(state, *input_mode);
    } else if (*input_mode == "native-vocal" &&
               (state.routingMode == "raw-mic" || state.routingMode == "daw-vocal")) {
      state.routingMode = "program";
    }
  }
  if (devices_changed) {
    bump(state.deviceRevision);
    bump(state.audioRevision);
  }
  return audio_status_json(state);
}

HandlerResult handle_audio_start(NativeState& state, const Json&) {
  state.running = true;
  bump(state.audioRevision);
  return audio_status_json(state);
}

HandlerResult handle_audio_stop(NativeState& state, const Json& payload) {
  if (payload_bool(payload, {"preservePlayer"}) == false) state.player.playing = false;
  return audio_status_json(state);
}

HandlerResult handle_audio_status(NativeState& state, const Json&) { return audio_status_json(state); }

HandlerResult handle_audio_set_mixer(NativeState& state, const Json& payload) {
  if (auto g = payload_gain(payload, {"micGain", "vocalGain"})) {
    state.micGain = *g;
    state.dsp.params.vocal_gain = *g;
  }
  if (auto g = payload_gain(payload, {"musicGain"})) {
    state.musicGain = *g;
    state.dsp.params.beat_volume = *g;
  }
  if (auto g = payload_gain(payload, {"masterGain"})) state.masterGain = *g;
  if (auto g = payload_gain(payload, {"monitorGain"})) {
    state.monitorGain = *g;
    if (!has_key(payload, "monitorEnabled") && state.monitorChoice) state.monitorEnabled = *g > 0.001f;
  }
  if (auto enabled = payload_bool(payload, {"monitorEnabled"})) {
    state.monitorEnabled = *enabled;
    state.monitorChoice = *enabled;
    if (*enabled && state.monitorGain <= 0.001f && !has_key(payload, "monitorGain"))
      state.monitorGain = 0.85f;
  }
  if (auto muted = payload_bool(payload, {"inputMuted"})) state.inputMuted = *muted;
  // A wrong-typed "publishMuted" falls back to "muted".
  if (auto muted = payload_bool(payload, {"publishMuted"})) {
    state.muted = *muted;
  } else if (auto plain = payload_bool(payload, {"muted"})) {
    state.muted = *plain;
  }
  if (auto mode = payload_text(payload, {"routingMode"})) parse_routing_mode(state, *mode);
  bump(state.audioRevision);
  return audio_status_json(state);
}

HandlerResult handle_audio_mute(NativeState& state, const Json& payload) {
  if (auto muted = payload_bool(payload, {"muted"})) state.muted = *muted;
  if (auto muted = payload_bool(payload, {"inputMuted"})) state.inputMuted = *muted;
  if (auto muted = payload_bool(payload, {"publishMuted"})) state.muted = *muted;
  bump(state.audioRevision);
  return audio_status_json(state);
}

HandlerResult handle_program_stream_open(NativeState& state, const Json& payload) {
  return open_stream(state, payload, false);
}
HandlerResult handle_program_stream_close(NativeState& state, const Json& payload) {
  return close_stream(state, payload, false);
}
HandlerResult handle_program_stream_status(NativeState& state, const Json& payload) {
  return stream_status(state, payload, false);
}
HandlerResult handle_publish_output_open(NativeState& state, const Json& payload) {
  return open_stream(state, payload, true);
}
HandlerResult handle_publish_output_close(NativeState& state, const Json& payload) {
  return close_stream(state, payload, true);
}
HandlerResult handle_publish_output_status(NativeState& state, const Json& payload) {
  return stream_status(state, payload, true);
}

// The enumeration may wait up to 450 ms, so the state lock is held only to copy
// the current output.
HandlerResult handle_devices_list(const SharedState& state, const LoadJobTable&, const Request&) {
  std::optional<std::string> output;
  {
    auto guard = state->lock();
    if (!guard.poisoned()) output = guard->outputDeviceId;
  }
  return devices_list_json(enumerate_audio_devices(output), bus_device_name());
}

}  // namespace melodara
