#include "engine/device_names.h"

#include <array>
#include <string>

#include "core/unicode_text.h"

namespace melodara {
namespace {

std::string joined(std::string_view a, std::string_view b) {
  return unicode_lower(a) + " " + unicode_lower(b);
}

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& keys) {
  for (std::string_view k : keys)
    if (text.contains(k)) return true;
  return false;
}

constexpr auto kHeadphone = std::to_array<std::string_view>(
    {"headphone", "headset", "earphone", "airpods", "earpods", "buds", "tai nghe", "iem"});
constexpr auto kWebcam =
    std::to_array<std::string_view>({"webcam", "camera", "c930", "c920", "brio", "logitech", "facetime"});
constexpr auto kOwn = std::to_array<std::string_view>(
    {"tunewerk", "melodara", "tune_werk", "melo_dara", "virtual-mic-48k", "virtual-spk-48k"});
constexpr auto kUsb = std::to_array<std::string_view>(
    {"usb-",      "usb audio", "mixpre",  "sound_devices", "sound devices", "scarlett", "focusrite",
     "steinberg", "ur12",      "ur22",    "ur242",         "motu",          "apollo",   "universal audio",
     "behringer", "umc",       "audient", "evo ",          "icon",          "upod",     "k10",
     "xox",       "takstar",   "yamaha",  "ag03",          "ag06",          "rme",      "ssl",
     "m-audio",   "presonus",  "zoom",    "tascam",        "rode",          "shure",    "fifine",
     "hyperx",    "blue yeti", "elgato",  "volt"});
constexpr auto kDaw = std::to_array<std::string_view>(
    {"cubase",   "steinberg",    "asio",           "linkout",    "linkin",    "reaper",
     "rearoute", "voicemeeter",  "vb-audio",       "cable",      "blackhole", "soundflower",
     "loopback", "rogue amoeba", "inputs for daw", "for daw",    "logic out", "wineasio",
     "jack",     "carla",        "stream_out",     "stream out", "out ảo"});
constexpr auto kBuiltin =
    std::to_array<std::string_view>({"macbook", "built-in", "internal", "airplay", "blackhole"});
constexpr auto kVirtualRoute = std::to_array<std::string_view>(
    {"melodara_virtual", "tunewerk_virtual", "inputs for daw", "logic out", "blackhole"});
constexpr auto kLoopbackOutput = std::to_array<std::string_view>(
    {"melodara", "tunewerk", "cable input", "vb-audio virtual cable", "blackhole", "soundflower"});

struct MirrorPair {
  std::string_view output_key, input_key;
};
constexpr std::array<MirrorPair, 5> kMirrorPairs = {{
    {"cable input", "cable output"},
    {"vb-audio virtual cable", "vb-audio virtual cable"},
    {"blackhole 2ch", "blackhole 2ch"},
    {"blackhole 16ch", "blackhole 16ch"},
    {"soundflower (2ch)", "soundflower (2ch)"},
}};

void erase_all(std::string& text, std::string_view what) {
  for (std::size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
}

}  // namespace

bool is_webcam_device(std::string_view name, std::string_view label) {
  return contains_any(joined(name, label), kWebcam);
}

bool is_usb_interface(std::string_view name, std::string_view label) {
  if (is_webcam_device(name, label)) return false;
  return contains_any(joined(name, label), kUsb);
}

bool is_headphone_device(std::string_view name, std::string_view label) {
  if (is_usb_interface(name, label)) return true;
  return contains_any(joined(name, label), kHeadphone);
}

bool is_own_virtual_device(std::string_view name, std::string_view label) {
  return contains_any(joined(name, label), kOwn);
}

bool is_daw_or_loopback_device(std::string_view name, std::string_view label) {
  const std::string text = joined(name, label);
  return contains_any(text, kDaw) || text.ends_with(".monitor") || name.starts_with("loopback:");
}

bool is_builtin_or_system_device(std::string_view name) {
  return name.empty() || contains_any(ascii_lower(name), kBuiltin);
}

bool is_virtual_route_device(std::string_view name) {
  return contains_any(unicode_lower(name), kVirtualRoute);
}

bool input_mirrors_output(std::string_view n, std::string_view b, std::optional<std::string_view> o,
                          std::optional<std::string_view> d) {
  if (is_own_virtual_device(n, b)) return true;
  const std::string i_text = joined(n, b);
  const std::string q_text = joined(o.value_or(""), d.value_or(""));
  for (const auto& [out_key, in_key] : kMirrorPairs)
    if (q_text.contains(out_key) && i_text.contains(in_key)) return true;

  const bool monitor_like = n.ends_with(".monitor") || n.starts_with("loopback:") ||
                            unicode_lower(b).contains("monitor of") || b.contains("Out Ảo / Loopback:");
  if (!monitor_like && !is_daw_or_loopback_device(n, b)) return false;

  std::string_view base = trim_unicode(n);
  while (base.starts_with("loopback:")) base.remove_prefix(9);
  while (base.ends_with(".monitor")) base.remove_suffix(8);

  if (o) {
    const std::string_view out = trim_unicode(*o);
    if (!out.empty() && out != "default") {
      std::string_view k = out;
      while (k.ends_with(".monitor")) k.remove_suffix(8);
      const std::string ks(k);
      if (ascii_iequals(n, out) || ascii_iequals(base, k) || ascii_iequals(n, ks + ".monitor") ||
          ascii_iequals(n, "loopback:" + ks))
        return true;
    }
  }
  if (monitor_like && d && !trim_unicode(*d).empty()) {
    std::string rest(b);
    erase_all(rest, "🔌 Out Ảo / Loopback:");
    erase_all(rest, "Monitor of");
    const std::string lowered = unicode_lower(trim_unicode(rest));
    if (!lowered.empty() && lowered == unicode_lower(trim_unicode(*d))) return true;
  }
  return false;
}

bool is_virtual_loopback_device(std::optional<std::string_view> device_name, std::string_view excluded,
                                std::string_view paired_input) {
  if (!device_name) return false;
  const std::string_view name = *device_name;
  if (ascii_iequals(name, excluded)) return false;
  if (!contains_any(joined(name, name), kLoopbackOutput)) return false;
  return !input_mirrors_output(paired_input, paired_input, name, name);
}

}  // namespace melodara
