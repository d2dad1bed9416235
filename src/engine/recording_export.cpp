#include "engine/recording_export.h"

#include <array>
#include <exception>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "core/process_runner.h"
#include "core/replacing_file.h"
#include "core/stale_temps.h"
#include "core/tool_discovery.h"
#include "core/utf8.h"
#include "core/wav_writer.h"

namespace melodara {
namespace {

constexpr std::uintmax_t kShareMinBytes = 257;

using Pieces = std::vector<std::span<const float>>;

// The list's chunks, then the zeros that pad it.
Pieces pieces_of(const RecorderSamples& list) {
  static constexpr std::array<float, kRecordingMinSamples> kZeros{};
  Pieces pieces;
  list.for_each_span([&](std::span<const float> s) { pieces.push_back(s); });
  if (list.size() < kRecordingMinSamples)
    pieces.push_back(std::span<const float>(kZeros).first(kRecordingMinSamples - list.size()));
  return pieces;
}

// Writes one file; failures (thrown ones included) come back as the message.
std::optional<std::string> write_file(const std::filesystem::path& path, const RecorderSamples& list) {
  try {
    const Pieces pieces = pieces_of(list);
    auto written = write_wav_f32_pieces(path, pieces);
    if (!written) return written.error();
    return std::nullopt;
  } catch (const std::exception& e) {
    return "Lỗi ghi dữ liệu WAV: " + std::string(e.what());
  } catch (...) {
    return "Lỗi ghi dữ liệu WAV";
  }
}

bool make_share_copy(const RecordingPaths& paths, double mix_seconds, const ShareCopyCheck& check) {
  const auto ffmpeg = resolve_ffmpeg_path();
  if (!ffmpeg || !check) return false;
  ReplacingFile share(paths.share);
  // Claimed first, so the "-y" below only ever overwrites our own empty file.
  if (share.create() != 0) return false;
  // The temporary's extension names no container, so it is named here.
  const Command command{
      *ffmpeg,
      {"-y", "-v", "error", "-threads", "0", "-i", recording_path_text(paths.mix), "-c:a", "aac", "-b:a",
       "192k", "-movflags", "+faststart", "-f", "mp4", recording_path_text(share.temp())}};
  const auto run = run_process_plain(command);
  if (!run || !exited_ok(run->status)) return false;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(share.temp(), ec);
  if (ec || size < kShareMinBytes || !check(share.temp(), mix_seconds)) return false;
  return share.finish_writing() == 0 && share.put_in_place() == 0;
}

// Runs `write` on a thread of its own, or here when none can be started.
struct StemWriter {
  bool written = false;
  std::optional<std::jthread> thread;

  void start(const std::filesystem::path& path, const RecorderSamples& list) {
    auto body = [this, &path, &list] { written = !write_file(path, list); };
    try {
      thread.emplace(body);
    } catch (const std::system_error&) {
      body();
    }
  }
};

}  // namespace

RecordingPaths recording_paths(const std::filesystem::path& folder, RecorderTarget target) {
  RecordingPaths p;
  if (target == RecorderTarget::stage) {
    p.mix = folder / "Melodara_Stage_Mix_48kHz.wav";
    p.share = folder / "Melodara_Stage_Share.m4a";
  } else {
    p.mix = folder / "Melodara_BanThu_48kHz.wav";
    p.share = folder / "Melodara_BanThu_Share.m4a";
  }
  p.vocal = folder / "Melodara_Vocal_48kHz.wav";
  p.dry = folder / "Melodara_DryMic_48kHz.wav";
  p.beat = folder / "Melodara_Beat_48kHz.wav";
  return p;
}

std::string recording_path_text(const std::filesystem::path& path) { return utf8_lossy(path.native()); }

std::size_t recording_padded_size(const RecorderSamples& list) {
  return std::max(list.size(), kRecordingMinSamples);
}

RecordingExportResult export_recording_files(const RecordingExportJob& job) {
  RecordingExportResult result;
  const RecorderTake& take = *job.take;
  std::array<StemWriter, 3> stems;
  if (job.target == RecorderTarget::diagnostic) {
    stems[0].start(job.paths.vocal, take.vocal);
    stems[1].start(job.paths.dry, take.dryMic);
    stems[2].start(job.paths.beat, take.beat);
  }
  result.mix_error = write_file(job.paths.mix, take.mix);
  // ffmpeg reads the mix, so it starts only once the mix is complete.
  if (!result.mix_error) {
    const double mix_seconds = double(recording_padded_size(take.mix)) / 96000.0;
    result.share_made = make_share_copy(job.paths, mix_seconds, job.share_check);
  }
  for (StemWriter& stem : stems)
    if (stem.thread) stem.thread->join();
  result.vocal_written = stems[0].written;
  result.dry_written = stems[1].written;
  result.beat_written = stems[2].written;
  return result;
}

std::size_t remove_stale_export_temporaries(const std::filesystem::path& folder) {
  std::array<std::string, 7> names;
  std::size_t i = 0;
  for (const RecorderTarget target : {RecorderTarget::diagnostic, RecorderTarget::stage}) {
    const RecordingPaths p = recording_paths(folder, target);
    names[i++] = p.mix.filename().native();
    names[i++] = p.share.filename().native();
    if (target == RecorderTarget::diagnostic) {
      for (const auto* stem : {&p.vocal, &p.dry, &p.beat}) names[i++] = stem->filename().native();
    }
  }
  return remove_stale_temporaries(folder, [&names](std::string_view name) -> std::optional<pid_t> {
    for (const std::string& export_name : names) {
      if (auto pid = temp_name_pid_of(name, export_name)) return pid;
    }
    return std::nullopt;
  });
}

}  // namespace melodara
