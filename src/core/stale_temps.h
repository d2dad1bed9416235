#pragma once
// Temporaries named after the process that writes them, so a start-up can tell
// the leftovers of a killed process from files another running process is
// still writing, and remove only the former.
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

namespace melodara {

// "<path>.tmp-<our pid>-<n>", a fresh n on every call: the temporary a
// replacing write of `path` goes through.
// Thread: any. Allocates: yes. Blocks: no.
std::filesystem::path temp_path_beside(const std::filesystem::path& path);

// A process id written in decimal digits alone, above 0 and within pid_t; else none.
// Thread: any. Allocates: no. Blocks: no.
std::optional<pid_t> pid_from_text(std::string_view text);

// The writer's pid of a name ending ".tmp-<pid>-<n>" (both decimal), else none.
// Thread: any. Allocates: no. Blocks: no.
std::optional<pid_t> temp_name_pid(std::string_view name);

// The writer's pid when `name` is `file_name` followed by exactly one
// temporary's suffix ".tmp-<pid>-<n>", else none.
// Thread: any. Allocates: no. Blocks: no.
std::optional<pid_t> temp_name_pid_of(std::string_view name, std::string_view file_name);

// True while a process with this pid exists (ours or another user's).
// Thread: any. Allocates: no. Blocks: no.
bool process_running(pid_t pid);

// Which process wrote a file of this name, or none when the name is not one of
// the caller's temporaries.
using TempOwner = std::function<std::optional<pid_t>(std::string_view name)>;

// Removes the regular files directly in `folder` (links are not followed) that
// `owner` names as temporaries of a process no longer running, or of our own
// pid; everything else stays. Returns how many were removed; a missing folder
// removes none. For start-up, before this process writes into `folder`: a
// temporary under our pid is then a former process's (in a pid namespace of
// its own the service has the same pid at every start).
// Thread: any. Allocates: yes. Blocks: file I/O.
std::size_t remove_stale_temporaries(const std::filesystem::path& folder, const TempOwner& owner);

}  // namespace melodara
