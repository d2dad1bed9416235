#include "dsp/key_names.h"

#include <algorithm>
#include <optional>

#include "core/utf8.h"

namespace melodara {
namespace {

std::string_view strip_suffix_repeats(std::string_view text, std::string_view suffix) {
  while (text.ends_with(suffix)) text.remove_suffix(suffix.size());
  return text;
}

std::optional<std::uint64_t> root_of(std::string_view name) {
  struct Spelling {
    std::string_view sharp, flat;
    std::uint64_t root;
  };
  static constexpr Spelling kAccidentals[] = {
      {"C#", "Db", 1}, {"D#", "Eb", 3}, {"F#", "Gb", 6}, {"G#", "Ab", 8}, {"A#", "Bb", 10}};
  static constexpr std::uint64_t kNaturals[] = {9, 11, 0, 2, 4, 5, 7};  // A..G
  if (name.size() == 2) {
    for (const Spelling& s : kAccidentals)
      if (name == s.sharp || name == s.flat) return s.root;
  } else if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'G') {
    return kNaturals[static_cast<std::size_t>(name[0] - 'A')];
  }
  return std::nullopt;
}

}  // namespace

std::string key_label(std::uint64_t root_key, bool minor) { return key_label_inline(root_key, minor).str(); }

KeyLabel key_label_inline(std::uint64_t root_key, bool minor) noexcept MELODARA_NONBLOCKING {
  const std::string_view note = kNoteNames[std::min<std::uint64_t>(root_key, 11)];
  char bytes[3] = {note[0], note.size() > 1 ? note[1] : 'm', 'm'};
  return KeyLabel(std::string_view(bytes, note.size() + (minor ? 1 : 0)));
}

std::string key_long_name(std::uint64_t root, bool minor) {
  std::string name(kNoteNames[std::min<std::uint64_t>(root, 11)]);
  name += minor ? " Minor" : " Major";
  return name;
}

KeyNameReading read_key_name(std::string_view key_name) {
  const std::string_view name = trim_unicode(key_name);
  const bool minor = !name.empty() && (name.back() == 'm' || name.find("Minor") != std::string_view::npos);
  std::string_view root = strip_suffix_repeats(name, "Minor");
  root = strip_suffix_repeats(root, "Major");
  root = strip_suffix_repeats(root, "_");
  root = strip_suffix_repeats(root, "m");
  return {root_of(trim_unicode(root)), minor};
}

NormalizedKey normalize_key_name(std::string_view key_name) {
  const KeyNameReading reading = read_key_name(key_name);
  const std::uint64_t root = reading.root.value_or(2);
  return {root, reading.minor, key_long_name(root, reading.minor)};
}

void apply_key_name_to_dsp_params(DspParams& params, std::string_view key_name) {
  const KeyNameReading reading = read_key_name(key_name);
  if (reading.root) params.root_key = *reading.root;
  params.scale_is_minor = reading.minor;
}

}  // namespace melodara
