#include "platform/sim/sim_config.h"

#include <cstdlib>
#include <fstream>

namespace melodara::sim {
namespace {

using Json = nlohmann::json;

std::expected<void, std::string> read_source(const Json& j, const std::string& base_dir, SignalSource& s) {
  if (!j.is_object()) return std::unexpected("source must be an object");
  const std::string type = j.value("type", "silence");
  if (type == "silence")
    s.kind = SignalSource::Kind::silence;
  else if (type == "sine")
    s.kind = SignalSource::Kind::sine;
  else if (type == "noise")
    s.kind = SignalSource::Kind::noise;
  else if (type == "wav")
    s.kind = SignalSource::Kind::wav;
  else if (type == "output")
    s.kind = SignalSource::Kind::output;
  else
    return std::unexpected("unknown source type: " + type);
  s.frequency = j.value("frequency", 440.0);
  s.level = j.value("level", s.kind == SignalSource::Kind::wav ? 1.0 : 0.25);
  if (j.contains("channels")) s.channels = j.at("channels").get<std::vector<int>>();
  s.path = j.value("path", "");
  if (!s.path.empty() && s.path.front() != '/') s.path = base_dir + "/" + s.path;
  s.device = j.value("device", "");
  if (s.kind == SignalSource::Kind::wav && s.path.empty()) return std::unexpected("wav source needs a path");
  if (s.kind == SignalSource::Kind::output && s.device.empty())
    return std::unexpected("output source needs a device");
  return {};
}

std::expected<DeviceSpec, std::string> read_device(const Json& j, const std::string& base_dir) {
  if (!j.is_object() || !j.contains("name") || !j.at("name").is_string())
    return std::unexpected("every device needs a name");
  DeviceSpec d;
  d.name = j.at("name").get<std::string>();
  d.name_readable = j.value("nameReadable", true);
  d.input_channels = j.value("inputChannels", std::uint16_t{0});
  d.output_channels = j.value("outputChannels", std::uint16_t{0});
  d.sample_rate = j.value("sampleRate", std::uint32_t{48000});
  d.buffer_frames = j.value("bufferFrames", std::uint32_t{512});
  if (d.buffer_frames == 0) return std::unexpected(d.name + ": bufferFrames must be positive");
  const std::string format = j.value("format", "f32");
  d.format = format == "f32" ? SampleFormat::f32 : format == "i16" ? SampleFormat::i16 : SampleFormat::other;
  const std::string transport = j.value("transport", "builtin");
  if (transport == "builtin")
    d.transport = Transport::builtin;
  else if (transport == "usb")
    d.transport = Transport::usb;
  else if (transport == "bluetooth")
    d.transport = Transport::bluetooth;
  else if (transport == "virtual")
    d.transport = Transport::virtual_device;
  else
    return std::unexpected(d.name + ": unknown transport " + transport);
  if (j.contains("usbName")) d.usb_name = j.at("usbName").get<std::string>();
  d.drift_ppm = j.value("driftPpm", 0.0);
  d.ragged_buffers = j.value("raggedBuffers", false);
  if (j.contains("source")) {
    auto r = read_source(j.at("source"), base_dir, d.source);
    if (!r) return std::unexpected(d.name + ": " + r.error());
  } else if (d.name == "Melodara_Virtual_Mic_48kHz") {
    // The service's virtual microphone hears its virtual bus, as its driver does.
    d.source.kind = SignalSource::Kind::output;
    d.source.device = "Melodara_Virtual_Bus_48kHz";
  }
  return d;
}

std::optional<std::string> opt_text(const Json& j, const char* key) {
  if (j.contains(key) && j.at(key).is_string()) return j.at(key).get<std::string>();
  return std::nullopt;
}

}  // namespace

std::expected<Config, std::string> parse_config(const Json& j, const std::string& base_dir) {
  if (!j.is_object()) return std::unexpected("configuration must be an object");
  try {
    Config c;
    c.enumeration_delay_ms = j.value("enumerationDelayMs", std::uint32_t{0});
    c.default_input = opt_text(j, "defaultInput");
    c.default_output = opt_text(j, "defaultOutput");
    c.default_system_output = opt_text(j, "defaultSystemOutput");
    if (j.contains("usbRegistry")) c.usb_registry = j.at("usbRegistry").get<std::vector<std::string>>();
    if (j.contains("devices")) {
      for (const auto& dj : j.at("devices")) {
        auto d = read_device(dj, base_dir);
        if (!d) return std::unexpected(d.error());
        c.devices.push_back(std::move(*d));
      }
    }
    return c;
  } catch (const Json::exception& e) {
    return std::unexpected(std::string("bad value: ") + e.what());
  }
}

std::expected<Config, std::string> load_config_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::unexpected("cannot read " + path);
  Json j = Json::parse(in, nullptr, false);
  if (j.is_discarded()) return std::unexpected("malformed JSON in " + path);
  const auto slash = path.find_last_of('/');
  return parse_config(j, slash == std::string::npos ? "." : path.substr(0, slash));
}

Config default_config() {
  Config c;
  DeviceSpec mic;
  mic.name = "MacBook Pro Microphone";
  mic.input_channels = 1;
  mic.source.kind = SignalSource::Kind::sine;
  mic.source.frequency = 440.0;
  mic.source.level = 0.05;
  DeviceSpec speakers;
  speakers.name = "MacBook Pro Speakers";
  speakers.output_channels = 2;
  c.devices = {mic, speakers};
  return c;
}

std::expected<Config, std::string> config_from_environment() {
  Config c;
  if (const char* path = std::getenv("MELODARA_SIM_DEVICES"); path && *path) {
    auto loaded = load_config_file(path);
    if (!loaded) return loaded;
    c = std::move(*loaded);
  } else {
    c = default_config();
  }
  if (const char* dir = std::getenv("MELODARA_SIM_SINK_DIR"); dir && *dir) c.sink_dir = dir;
  if (const char* root = std::getenv("MELODARA_SIM_ROOT"); root && *root) {
    c.root = root;
    while (!c.root.empty() && c.root.back() == '/') c.root.pop_back();
  }
  return c;
}

}  // namespace melodara::sim
