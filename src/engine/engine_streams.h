#pragma once
// The engine's device streams: resolution of the requested input and output
// ids to devices of the audio layer, and open_engine_streams, which builds the
// capture and monitor rings with their callback counters, opens and starts a
// capture stream and a monitor output stream, and tops the rings up to their
// working fill. Nothing here reports an error: what cannot be resolved or
// opened is simply absent, and the engine runs silent on that side.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/frame_ring.h"
#include "platform/audio_host.h"

namespace melodara {

inline constexpr std::size_t kCaptureRingStartFill = 1024;
inline constexpr std::size_t kMonitorRingStartFill = 1536;

struct ResolvedDevice {
  DeviceId id = 0;
  std::string name;
  bool loopback = false;  // capture of what an output device plays
};

struct ResolvedDevices {
  std::optional<ResolvedDevice> input;
  std::optional<ResolvedDevice> output;
};

// Ids are device names as the layer lists them, "default", empty, or
// "loopback:" and an output's name. The service's own virtual devices are
// never chosen; a loopback target is never the monitor output itself (by id
// text or by the resolved output's name); an unknown loopback target gives no
// input at all. Thread: engine. Blocks: on the device layer. Allocates: yes.
ResolvedDevices resolve_engine_devices(AudioHost& host, std::string_view input_id,
                                       std::string_view output_id);

struct EngineStreams {
  std::shared_ptr<FrameRing> capture_ring;
  std::shared_ptr<FrameRing> monitor_ring;
  std::shared_ptr<CallbackCounter> capture_counter;
  std::shared_ptr<CallbackCounter> playback_counter;
  std::unique_ptr<AudioStream> capture_stream;  // dropping a stream stops it
  std::unique_ptr<AudioStream> monitor_stream;
  std::string input_name;  // resolved device names, empty when none
  std::string output_name;
};

using EngineSleep = std::function<void(std::chrono::nanoseconds)>;

// With `enumeration_stalled` no device is touched: rings and counters only.
// Thread: engine, holding no ring lock. Blocks: the device layer and 55 ms of
// `sleep`. Allocates: yes.
EngineStreams open_engine_streams(AudioHost& host, bool enumeration_stalled, std::string_view input_id,
                                  std::string_view output_id, const EngineSleep& sleep);

}  // namespace melodara
