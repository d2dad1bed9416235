#include "engine/engine_streams.h"

#include <vector>

#include "core/unicode_text.h"
#include "engine/device_callbacks.h"
#include "engine/device_list.h"
#include "engine/device_names.h"
#include "engine/device_records.h"

namespace melodara {
namespace {

struct NamedDevice {
  DeviceId id = 0;
  std::string name;
  bool has_input = false;
  bool has_output = false;
};

// The devices that can be chosen by id: those with a readable name.
std::optional<std::vector<NamedDevice>> named_devices(AudioSystem& system) {
  auto records = read_device_records(system);
  if (!records) return std::nullopt;
  std::vector<NamedDevice> out;
  for (DeviceRecord& r : *records)
    if (r.name) out.push_back({r.id, std::move(*r.name), r.has_input, r.has_output});
  return out;
}

bool own_virtual(std::string_view name) { return is_own_virtual_device(name, name); }

ResolvedDevice resolved(const NamedDevice& d, bool loopback = false) {
  return {d.id, d.name, loopback, d.has_input};
}

// Exact name, else (for a real id) containment either way; each device is
// tested with all three before the next one. Empty names match nothing: an
// empty text is contained in every id.
const NamedDevice* match_by_id(const std::vector<NamedDevice>& list, bool output, std::string_view id) {
  const bool containment = !id.empty() && id != "default";
  const std::string lowered_id = ascii_lower(id);
  for (const auto& d : list) {
    if ((output ? !d.has_output : !d.has_input) || d.name.empty() || own_virtual(d.name)) continue;
    if (ascii_iequals(d.name, id)) return &d;
    if (!containment) continue;
    const std::string lowered = ascii_lower(d.name);
    if (lowered.contains(lowered_id) || lowered_id.contains(lowered)) return &d;
  }
  return nullptr;
}

std::optional<ResolvedDevice> system_default(AudioSystem& system, const std::vector<NamedDevice>* list,
                                             bool output) {
  auto id = output ? system.default_output_device() : system.default_input_device();
  if (!id) return std::nullopt;
  const bool has_input = system.has_streams(*id, AudioScope::input);
  auto name = system.device_name(*id);
  if (!name) return ResolvedDevice{*id, {}, false, has_input};
  if (!own_virtual(*name) || !list) return ResolvedDevice{*id, std::move(*name), false, has_input};
  // The system default is one of our own devices: the first other device instead.
  for (const auto& d : *list)
    if ((output ? d.has_output : d.has_input) && !d.name.empty() && !own_virtual(d.name)) return resolved(d);
  return std::nullopt;
}

std::optional<ResolvedDevice> resolve_one(AudioSystem& system,
                                          const std::optional<std::vector<NamedDevice>>& list, bool output,
                                          std::string_view id) {
  if (list) {
    if (const NamedDevice* d = match_by_id(*list, output, id)) return resolved(*d);
  }
  return system_default(system, list ? &*list : nullptr, output);
}

template <class Callback, class State, class Fn>
Callback bind(std::shared_ptr<State> state, Fn fn) {
  return [state = std::move(state), fn](auto buffer) { fn(*state, buffer); };
}

bool usable(const StreamConfig& config) {
  return config.channels != 0 && config.sample_rate != 0 &&
         (config.format == SampleFormat::f32 || config.format == SampleFormat::i16);
}

// The playback callback of a ring in the device's format: the monitor's
// channel rule (the pair repeated) or the bus's (the pair, then silence).
OutputCallback playback_callback(const std::shared_ptr<FrameRing>& ring,
                                 const std::shared_ptr<CallbackCounter>& counter, const StreamConfig& config,
                                 bool bus) {
  auto state = std::make_shared<PlaybackCallbackState>(
      make_playback_state(ring, counter, config.sample_rate, config.channels));
  if (config.format == SampleFormat::i16)
    return bind<OutputCallbackI16>(std::move(state), bus ? bus_output_callback_i16 : output_callback_i16);
  return bind<OutputCallbackF32>(std::move(state), bus ? bus_output_callback_f32 : output_callback_f32);
}

std::unique_ptr<AudioStream> open_monitor(AudioHost& host, const ResolvedDevice& dev,
                                          const EngineStreams& s) {
  auto config = host.default_output_config(dev.id);
  if (!config || !usable(*config)) return nullptr;
  auto stream = host.build_output_stream(
      dev.id, *config, playback_callback(s.monitor_ring, s.playback_counter, *config, false),
      [](const PlatformError&) {});
  return stream ? std::move(*stream) : nullptr;
}

std::unique_ptr<AudioStream> open_capture(AudioHost& host, const ResolvedDevice& dev,
                                          const EngineStreams& s) {
  std::expected<StreamConfig, PlatformError> config = std::unexpected(PlatformError{});
  if (dev.loopback) config = host.default_output_config(dev.id);
  if (!config) config = host.default_input_config(dev.id);
  if (!config || !usable(*config)) return nullptr;
  auto state = std::make_shared<CaptureCallbackState>(
      make_capture_state(s.capture_ring, s.capture_counter, config->sample_rate, config->channels));
  InputCallback cb;
  if (config->format == SampleFormat::f32)
    cb = bind<InputCallbackF32>(std::move(state), input_callback_f32);
  else
    cb = bind<InputCallbackI16>(std::move(state), input_callback_i16);
  auto discard = [](const PlatformError&) {};
  auto stream = dev.loopback && !dev.has_input
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

ResolvedDevices resolve_engine_devices(AudioSystem& system, std::string_view input_id,
                                       std::string_view output_id) {
  const auto list = named_devices(system);
  ResolvedDevices r;
  r.output = resolve_one(system, list, true, output_id);

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
      r.input = resolved(d, true);
      break;
    }
    return r;
  }
  r.input = resolve_one(system, list, false, input_id);
  return r;
}

EngineStreams open_engine_streams(const Platform& platform, bool enumeration_stalled,
                                  std::string_view input_id, std::string_view output_id,
                                  const EngineSleep& sleep) {
  EngineStreams s;
  s.capture_ring = std::make_shared<FrameRing>(kCaptureRingStartFill);
  s.monitor_ring = std::make_shared<FrameRing>(kMonitorRingStartFill);
  s.capture_counter = std::make_shared<CallbackCounter>(0);
  s.playback_counter = std::make_shared<CallbackCounter>(0);
  if (enumeration_stalled) return s;

  AudioHost& host = *platform.audio;
  const ResolvedDevices devices = resolve_engine_devices(*platform.system, input_id, output_id);
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

std::optional<BusOutput> open_bus_output(const Platform& platform, std::string_view output_name,
                                         std::string_view input_name) {
  auto records = read_device_records(*platform.system);
  if (!records) return std::nullopt;
  std::vector<const DeviceRecord*> found;
  for (const DeviceRecord& r : *records) {
    if (!r.has_output || !r.name) continue;
    if (is_virtual_loopback_device(*r.name, output_name, input_name)) found.push_back(&r);
  }
  if (found.empty()) return std::nullopt;
  auto pick = [&](auto test) -> const DeviceRecord* {
    for (const DeviceRecord* r : found)
      if (test(unicode_lower(*r->name))) return r;
    return nullptr;
  };
  const DeviceRecord* device = pick([](const std::string& n) { return n.contains("melodara_virtual_bus"); });
  if (!device)
    device = pick([](const std::string& n) { return n.contains("melodara") || n.contains("tunewerk"); });
  if (!device) device = found.front();

  BusOutput bus;
  bus.name = device->name->empty() ? std::string(kVirtualBusName) : *device->name;
  bus.ring = std::make_shared<FrameRing>(kBusRingStartFill);
  bus.counter = std::make_shared<CallbackCounter>(0);
  OutputUnitHost& units = *platform.units;
  auto format = units.device_format(device->id);
  if (!format || !usable(*format)) return bus;
  auto unit = units.open_output_unit(device->id, playback_callback(bus.ring, bus.counter, *format, true));
  if (unit) bus.unit = std::move(*unit);
  return bus;
}

}  // namespace melodara
