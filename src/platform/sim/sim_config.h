#pragma once
// Configuration of the simulated audio hardware.
//
// Environment (read once, when the service first touches the platform):
//   MELODARA_SIM_DEVICES  path of a JSON file describing the device set.
//                         Without it: "MacBook Pro Microphone" (1 channel in)
//                         and "MacBook Pro Speakers" (2 channels out), both
//                         built-in, 48 kHz, f32, the microphone playing a quiet
//                         440 Hz sine.
//   MELODARA_SIM_SINK_DIR folder where every output device's mix is written
//                         continuously as a 32-bit float WAV file named after
//                         the device ("<name>.wav"; "/", "\\", ":" and the like as "_").
//   MELODARA_SIM_ROOT     folder that stands for the system's root in the fixed
//                         absolute paths the service uses (see sim_virtual_devices.h).
//
// File format (keys optional unless noted; ppm = parts per million):
// {
//   "enumerationDelayMs": 0,                    // per device-list read; an
//                                               // enumeration reads it twice
//   "defaultInput": "name", "defaultOutput": "name", "defaultSystemOutput": "name",
//   "usbRegistry": ["USB2.0 Hub", ...],          // further registry entries
//   "devices": [{
//     "name": "Scarlett 2i2 USB",                 // required
//     "nameReadable": true,                       // false: name lookups fail
//     "inputChannels": 2, "outputChannels": 2,
//     "sampleRate": 48000, "bufferFrames": 512,
//     "format": "f32" | "i16" | any other text (a format the service refuses),
//     "transport": "builtin" | "usb" | "bluetooth" | "virtual",
//     "usbName": "Scarlett 2i2 USB",              // registry name, usb only
//     "driftPpm": 0.0,
//     "raggedBuffers": false,                     // one stray sample per buffer
//     "source": {"type": "silence" | "sine" | "noise" | "wav" | "output",
//                "frequency": 440, "level": 0.25,
//                "channels": [0, 1],              // carrying channels; default all
//                "path": "voice.wav",             // wav, looped; relative to the file
//                "device": "Some Output"}         // output: that device's mix
//   }]
// }
// A device named "Melodara_Virtual_Mic_48kHz" without a source hears the mix
// of "Melodara_Virtual_Bus_48kHz", as the service's own driver pair does.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_types.h"

namespace melodara::sim {

enum class Transport { builtin, usb, bluetooth, virtual_device };

struct SignalSource {
  enum class Kind { silence, sine, noise, wav, output };
  Kind kind = Kind::silence;
  double frequency = 440.0;
  double level = 0.25;
  std::vector<int> channels;  // empty: every channel
  std::string path;           // wav file
  std::string device;         // output device whose mix is heard
};

struct DeviceSpec {
  std::string name;
  bool name_readable = true;
  std::uint16_t input_channels = 0;
  std::uint16_t output_channels = 0;
  std::uint32_t sample_rate = 48000;
  std::uint32_t buffer_frames = 512;
  SampleFormat format = SampleFormat::f32;
  Transport transport = Transport::builtin;
  std::optional<std::string> usb_name;
  double drift_ppm = 0.0;
  bool ragged_buffers = false;
  SignalSource source;
};

struct Config {
  std::vector<DeviceSpec> devices;
  std::optional<std::string> default_input;
  std::optional<std::string> default_output;
  std::optional<std::string> default_system_output;
  std::vector<std::string> usb_registry;
  std::uint32_t enumeration_delay_ms = 0;
  std::optional<std::string> sink_dir;
  std::string root;  // without a trailing "/"; empty: the real root
};

// base_dir resolves relative wav paths.
std::expected<Config, std::string> parse_config(const nlohmann::json& j, const std::string& base_dir = ".");
std::expected<Config, std::string> load_config_file(const std::string& path);
Config default_config();
// The variables above; a file that cannot be read or parsed gives an
// error so that a mistaken test set-up is seen.
std::expected<Config, std::string> config_from_environment();

}  // namespace melodara::sim
