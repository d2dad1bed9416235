#include "media/clip_video.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/mutex.h"
#include "core/process_runner.h"
#include "core/threads.h"
#include "core/tool_discovery.h"
#include "media/fetch_texts.h"
#include "media/player_cache.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// Targets being downloaded right now. Never destroyed: detached downloads may
// still run while the process exits.
Mutex<std::set<std::string>>& in_flight() {
  static auto* targets = new Mutex<std::set<std::string>>();
  return *targets;
}

// Marks a target as being downloaded for as long as it lives.
class InFlight {
 public:
  explicit InFlight(std::string target) : target_(std::move(target)) {}
  ~InFlight() {
    auto g = in_flight().lock();
    g->erase(target_);
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::string target_;
};

// The digits of the calling thread's printed id.
std::string thread_number() {
  std::ostringstream id;
  id << std::this_thread::get_id();
  std::string digits;
  for (char c : id.str()) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
  }
  return digits;
}

// Another download of `target` runs: polls until it ends, the polls run out
// or the load that waits is no longer wanted.
bool wait_for_other_download(const fs::path& target, const std::string& key, const MediaLimits& limits) {
  for (int i = 0; i < limits.video_wait_polls && !load_cancelled(limits); ++i) {
    std::this_thread::sleep_for(limits.video_wait_interval);
    if (is_mp4_file(target)) return true;
    auto g = in_flight().lock();
    if (!g->contains(key)) break;
  }
  return is_mp4_file(target);
}

}  // namespace

bool download_clip_video(const std::string& source, const fs::path& target, const MediaLimits& limits) {
  if (is_mp4_file(target)) return true;
  const std::string key = target.string();
  std::optional<InFlight> mark;
  {
    auto g = in_flight().lock();
    if (!g->insert(key).second) {
      g.release();
      return wait_for_other_download(target, key, limits);
    }
    mark.emplace(key);
  }

  const std::optional<std::string> ytdlp = resolve_ytdlp_path();
  if (!ytdlp) return false;
  fs::path temp = target;
  // clip_video_part_pid reads this name back, so a start-up sweeps what a killed run left.
  temp.replace_extension("part." + std::to_string(::getpid()) + "." + thread_number() + ".mp4");
  std::error_code ec;
  fs::remove(temp, ec);

  const ProcessResult run =
      run_process(Command{*ytdlp,
                          {"-4", "--socket-timeout", "10", "--no-config", "--no-playlist", "--no-part",
                           "--concurrent-fragments", "4", "-f", std::string(kVideoSelector), "-o",
                           temp.string(), source}},
                  tool_run_options(limits.video_download_limit, limits.max_tool_text_bytes, limits));
  // The rename replaces whatever the target held in one step.
  const bool ok =
      run && exited_ok(run->status) && is_mp4_file(temp) && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) fs::remove(temp, ec);
  return ok;
}

void download_clip_video_thread(std::string source, fs::path target, MediaLimits limits) {
  if (!spawn_detached("", [source = std::move(source), target = std::move(target), limits] {
        download_clip_video(source, target, limits);
      })) {
    throw std::runtime_error("failed to spawn thread");
  }
}

}  // namespace melodara
