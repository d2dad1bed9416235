#include "engine/engine_streams.h"

#include <vector>

#include "core/unicode_text.h"
#include "engine/device_callbacks.h"
#include "engine/device_names.h"

namespace melodara {
namespace {

struct LayerDevice {
  DeviceId id = 0;
  std::string name;
  bool has_input = false;
  bool has_output = false;
};

std::optional<std::vector<LayerDevice>> list_devices(AudioHost& host) {
  auto ids = host.devices();
  if (!ids) return std::nullopt;
  std::vector<LayerDevice> out;
  for (DeviceId id : *ids) {
    auto name = host.device_name(id);
    if (!name) continue;  // a device without a readable name cannot be chosen by id
    out.push_back({id, std::move(*name), host.has_input(id), host.has_output(id)});
  }
  return out;
}

bool own_virtual(std::string_view name) { return is_own_virtual_device(name, name); }

bool contains(std::string_view text, std::string_view key) {
  return text.find(key) != std::string_view::npos;
}

// Exact name, else (for a real id) containment either way; each device is
// tested with all three before the next one. Empty names match nothing: an
// empty text is contained in every id.
const LayerDevice* match_by_id(const std::vector<LayerDevice>& list, bool output, std::string_view id) {
  const bool containment = !id.empty() && id != "default";
  const std::string lowered_id = ascii_lower(id);
  for (const auto& d : list) {
    if ((output ? !d.has_output : !d.has_input) || d.name.empty() || own_virtual(d.name)) continue;
    if (ascii_iequals(d.name, id)) return &d;
    if (!containment) continue;
    const std::string lowered = ascii_lower(d.name);
    if (contains(lowered, lowered_id) || contains(lowered_id, lowered)) return &d;
  }
  return nullptr;
}

std::optional<ResolvedDevice> system_default(AudioHost& host, const std::vector<LayerDevice>* list,
                                             bool output) {
  auto id = output ? host.default_output_device() : host.default_input_device();
  if (!id) return std::nullopt;
  auto name = host.device_name(*id);
  if (!name) return ResolvedDevice{*id, {}, false};
  if (!own_virtual(*name) || !list) return ResolvedDevice{*id, std::move(*name), false};
  // The system default is one of our own devices: the first other device instead.
  for (const auto& d : *list)
    if ((output ? d.has_output : d.has_input) && !d.name.empty() && !own_virtual(d.name))
      return ResolvedDevice{d.id, d.name, false};
  return std::nullopt;
}

std::optional<ResolvedDevice> resolve_one(AudioHost& host,
                                          const std::optional<std::vector<LayerDevice>>& list, bool output,
                                          std::string_view id) {
  if (list) {
    if (const LayerDevice* d = match_by_id(*list, output, id)) return ResolvedDevice{d->id, d->name, false};
  }
  return system_default(host, list ? &*list : nullptr, output);
}

template <class Callback, class State, class Fn>
Callback bind(std::shared_ptr<State> state, Fn fn) {
  return [state = std::move(state), fn](auto buffer) { fn(*state, buffer); };
}

std::unique_ptr<AudioStream> open_monitor(AudioHost& host, const ResolvedDevice& dev,
                                          const EngineStreams& s) {
  auto config = host.default_output_config(dev.id);
  if (!config || config->channels == 0 || config->sample_rate == 0) return nullptr;
  auto state = std::make_shared<PlaybackCallbackState>(
      make_playback_state(s.monitor_ring, s.playback_counter, config->sample_rate, config->channels));
  OutputCallback cb;
  if (config->format == SampleFormat::f32)
    cb = OutputCallbackF32(bind<OutputCallbackF32>(state, output_callback_f32));
  else if (config->format == SampleFormat::i16)
    cb = OutputCallbackI16(bind<OutputCallbackI16>(state, output_callback_i16));
  else
    return nullptr;
  auto stream = host.build_output_stream(dev.id, *config, std::move(cb), [](const PlatformError&) {});
  return stream ? std::move(*stream) : nullptr;
}

std::unique_ptr<AudioStream> open_capture(AudioHost& host, const ResolvedDevice& dev,
                                          const EngineStreams& s) {
  std::expected<StreamConfig, PlatformError> config = std::unexpected(PlatformError{});
  if (dev.loopback) config = host.default_output_config(dev.id);
  if (!config) config = host.default_input_config(dev.id);
  if (!config || config->channels == 0 || config->sample_rate == 0) return nullptr;
  auto state = std::make_shared<CaptureCallbackState>(
      make_capture_state(s.capture_ring, s.capture_counter, config->sample_rate, config->channels));
  InputCallback cb;
  if (config->format == SampleFormat::f32)
    cb = InputCallbackF32(bind<InputCallbackF32>(state, input_callback_f32));
  else if (config->format == SampleFormat::i16)
    cb = InputCallbackI16(bind<InputCallbackI16>(state, input_callback_i16));
  else
    return nullptr;
  auto discard = [](const PlatformError&) {};
  auto stream = dev.loopback && !host.has_input(dev.id)
                    ? host.build_output_capture_stream(dev.id, *config, std::move(cb), discard)
                    : host.build_input_stream(dev.id, *config, std::move(cb), discard);
  return stream ? std::move(*stream) : nullptr;
}

void start(const EngineStreams& s) {
  if (s.monitor_stream) (void)s.monitor_stream->play();
  if (s.capture_stream) (void)s.capture_stream->play();
}

void top_up(FrameRing& ring, std::size_t target) {
  auto g = ring.lock();
  if (!g.poisoned()) g->fill_to(target);
}

}  // namespace

ResolvedDevices resolve_engine_devices(AudioHost& host, std::string_view input_id,
                                       std::string_view output_id) {
  const auto list = list_devices(host);
  ResolvedDevices r;
  r.output = resolve_one(host, list, true, output_id);

  constexpr std::string_view kLoopback = "loopback:";
  if (input_id.size() >= kLoopback.size() && input_id.starts_with(kLoopback)) {
    const std::string_view target = input_id.substr(kLoopback.size());
    if (!list) return r;
    for (const auto& d : *list) {
      if (!d.has_output || !ascii_iequals(d.name, target)) continue;
      // Never capture the engine's own monitor output, whatever id named it.
      if (ascii_iequals(d.name, output_id) || (r.output && ascii_iequals(d.name, r.output->name)) ||
          own_virtual(d.name))
        continue;
      r.input = ResolvedDevice{d.id, d.name, true};
      break;
    }
    return r;
  }
  r.input = resolve_one(host, list, false, input_id);
  return r;
}

EngineStreams open_engine_streams(AudioHost& host, bool enumeration_stalled, std::string_view input_id,
                                  std::string_view output_id, const EngineSleep& sleep) {
  EngineStreams s;
  s.capture_ring = std::make_shared<FrameRing>(kCaptureRingStartFill);
  s.monitor_ring = std::make_shared<FrameRing>(kMonitorRingStartFill);
  s.capture_counter = std::make_shared<CallbackCounter>(0);
  s.playback_counter = std::make_shared<CallbackCounter>(0);
  if (enumeration_stalled) return s;

  const ResolvedDevices devices = resolve_engine_devices(host, input_id, output_id);
  if (devices.output) {
    s.output_name = devices.output->name;
    s.monitor_stream = open_monitor(host, *devices.output, s);
  }
  if (devices.input) {
    s.input_name = devices.input->loopback ? "loopback:" + devices.input->name : devices.input->name;
    s.capture_stream = open_capture(host, *devices.input, s);
  }

  // Starting twice retries a start that failed; a running stream ignores it.
  sleep(std::chrono::milliseconds(35));
  start(s);
  sleep(std::chrono::milliseconds(20));
  start(s);

  top_up(*s.capture_ring, kCaptureTargetFill);
  top_up(*s.monitor_ring, kPlaybackTargetFill);
  return s;
}

}  // namespace melodara
