#pragma once
// A file written in full under a temporary name beside its final one and only
// then renamed over it, so a failed or interrupted write leaves the previous
// file of that name whole. The temporary is removed unless it was put in place.
#include <filesystem>

#include "core/unique_fd.h"

namespace melodara {

class ReplacingFile {
 public:
  // Thread: any. Allocates: yes. Blocks: no.
  explicit ReplacingFile(std::filesystem::path path);
  // Removes the temporary when it was not put in place.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // "<path>.tmp-<our pid>-<n>" (core/stale_temps.h), for a writer of our own or another program.
  const std::filesystem::path& temp() const { return temp_; }
  int fd() const { return fd_.get(); }

  // Creates the temporary for writing (never an existing file or a link): 0 or errno.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  int create();
  // Syncs the temporary to disk and closes it, opening it first when another
  // program wrote it: 0 or the errno of the step that failed.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  int finish_writing();
  // Renames the finished temporary over the final name, then syncs the folder
  // (best effort: the rename has happened by then): 0 or the rename's errno.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  int put_in_place();

 private:
  std::filesystem::path path_, temp_;
  UniqueFd fd_;
  bool placed_ = false;
};

}  // namespace melodara
