#include "media/ffmpeg_decode.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <limits>

#include "media/afconvert_decode.h"
#include "media/fetch_texts.h"
#include "media/file_io.h"
#include "media/inprocess_decoder.h"
#include "media/player_cache.h"

namespace melodara {
namespace {

// ffmpeg's f32le output, gathered into a buffer reserved for `reserve` samples.
// Refused only when ffmpeg ran to its end and gave no audio.
std::expected<std::vector<float>, DecodeFailure> run_ffmpeg_decode(const Command& command, RunOptions options,
                                                                   std::uint64_t reserve,
                                                                   const MediaLimits& limits) {
  F32leCollector collector(limits.max_track_samples(), reserve);
  options.capture_stderr = false;
  options.cancelled = limits.cancelled;
  options.stdout_sink = [&collector](std::span<const std::uint8_t> bytes) { return collector.append(bytes); };
  const ProcessResult run = run_process(command, options);
  if (!run) {
    return std::unexpected(run.error() == kCancelled ? DecodeFailure::Cancelled : DecodeFailure::Unavailable);
  }
  // Killed, or not run at all (126, 127: a broken install or wrapper): no verdict on the bytes.
  if (WIFSIGNALED(run->status) ||
      (WIFEXITED(run->status) && (WEXITSTATUS(run->status) == 126 || WEXITSTATUS(run->status) == 127)))
    return std::unexpected(DecodeFailure::Unavailable);
  // More than 7 bytes: at least one whole frame.
  if (!exited_ok(run->status) || collector.bytes_seen() < 8) return std::unexpected(DecodeFailure::Refused);
  return std::move(collector).take();
}

// The declared duration of a regular file, read through a private mapping.
std::optional<double> probe_file_seconds(int fd, std::uint64_t size) {
  if (size == 0 || size > std::numeric_limits<std::size_t>::max()) return std::nullopt;
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return std::nullopt;
  const auto seconds =
      probe_media_seconds(std::span(static_cast<const std::uint8_t*>(map), static_cast<std::size_t>(size)));
  ::munmap(map, static_cast<std::size_t>(size));
  return seconds;
}

std::optional<std::vector<std::uint8_t>> fetch_with_curl(const std::string& address,
                                                         const MediaLimits& limits) {
  const Command curl{"curl", {"-4", "-sL", "--max-time", "60", "-A", std::string(kUserAgent), address}};
  ProcessResult fetched =
      run_process(curl, tool_run_options(limits.fetch_limit, limits.max_source_bytes, limits));
  if (!fetched || !exited_ok(fetched->status) || fetched->stdout.size() < 65) return std::nullopt;
  return std::move(fetched->stdout);
}

}  // namespace

Command ffmpeg_decode_command(std::string_view input) {
  return command_args16(Command{"ffmpeg", {}},
                        {"-v", "error", "-threads", "0", "-i", input, "-vn", "-ac", "2", "-ar", "48000", "-f",
                         "f32le", "-acodec", "pcm_f32le", "-"});
}

std::optional<DecodedMedia> decode_source_ffmpeg(const std::string& source, const MediaLimits& limits) {
  std::vector<std::uint8_t> bytes;
  if (is_web_source(source)) {
    RunOptions options;
    options.limit = limits.web_decode_limit;
    if (auto pcm = run_ffmpeg_decode(ffmpeg_decode_command(source), options, 0, limits)) {
      if (auto media = media_from_pcm(std::move(*pcm), false)) return media;
    }
    if (load_cancelled(limits)) return std::nullopt;
    auto fetched = fetch_with_curl(source, limits);
    if (!fetched) return std::nullopt;
    bytes = std::move(*fetched);
  } else {
    // Anything but a regular file (a FIFO, a device, our own standard input)
    // would block or never end: refused before ffmpeg or a read sees it.
    auto fd = open_regular_file(source, Links::Follow);
    if (!fd) return std::nullopt;
    struct stat st {};
    const std::uint64_t size = ::fstat(fd->get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::uint64_t reserve = reserve_samples_for(probe_file_seconds(fd->get(), size), size, limits);
    fd->reset();
    if (auto pcm = run_ffmpeg_decode(ffmpeg_decode_command("file:" + source), {}, reserve, limits)) {
      if (auto media = media_from_pcm(std::move(*pcm), false)) return media;
    }
    if (load_cancelled(limits)) return std::nullopt;
    auto read = read_regular_file(source, limits.max_source_bytes, Links::Follow);
    if (!read) return std::nullopt;
    bytes = std::move(*read);
  }
  if (auto pcm = decode_with_afconvert(bytes, limits)) {
    if (auto media = media_from_pcm(std::move(*pcm), false)) return media;
  }
  if (load_cancelled(limits)) return std::nullopt;
  return decode_with_symphonia(bytes, limits);
}

std::expected<std::vector<float>, DecodeFailure> decode_bytes_ffmpeg(std::span<const std::uint8_t> bytes,
                                                                     const MediaLimits& limits) {
  if (bytes.empty()) return std::unexpected(DecodeFailure::Refused);
  RunOptions options;
  options.stdin_bytes = bytes;
  const std::uint64_t reserve = reserve_samples_for(probe_media_seconds(bytes), bytes.size(), limits);
  auto tool = run_ffmpeg_decode(ffmpeg_decode_command("pipe:0"), options, reserve, limits);
  if (tool || tool.error() == DecodeFailure::Cancelled) return tool;
  auto converted = decode_with_afconvert(bytes, limits);
  if (converted || converted.error() == DecodeFailure::Cancelled) return converted;
  auto own = decode_samples_in_process(bytes, limits);
  if (own || own.error() == DecodeFailure::Cancelled) return own;
  // Bad bytes only when both ffmpeg and our own decoder looked at them and said so.
  const bool refused = tool.error() == DecodeFailure::Refused && own.error() == DecodeFailure::Refused;
  return std::unexpected(refused ? DecodeFailure::Refused : DecodeFailure::Unavailable);
}

}  // namespace melodara
