#pragma once
// A file written in full under a temporary name beside its final one and only
// then renamed over it, so a failed or interrupted write leaves the previous
// file of that name whole. The temporary is removed unless it was put in place,
// and only when this object created it: a file that already held the name
// belongs to someone else.
#include <filesystem>

#include "core/unique_fd.h"

namespace melodara {

class ReplacingFile {
 public:
  // Thread: any. Allocates: yes. Blocks: no.
  explicit ReplacingFile(std::filesystem::path path);
  // Removes the temporary it created when it was not put in place.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // "<path>.tmp-<our pid>-<n>" (core/stale_temps.h), for a writer of our own or
  // another program; create() may move on to a later n.
  const std::filesystem::path& temp() const { return temp_; }
  int fd() const { return fd_.get(); }

  // Creates the temporary for writing, once (never over an existing file or a
  // link: a name already taken moves on to the next, a few times): 0 or errno.
  // Another program may then write the temporary by its name.
  // Thread: the owner's. Allocates: only when a name is taken. Blocks: file I/O.
  int create();
  // Syncs the created temporary to disk and closes it: 0 or the errno of the
  // step that failed (EBADF without a created temporary).
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  int finish_writing();
  // Renames the finished temporary over the final name, then syncs the folder
  // (best effort: the rename has happened by then): 0 or the rename's errno.
  // Thread: the owner's. Allocates: no. Blocks: file I/O.
  int put_in_place();

 private:
  std::filesystem::path path_, temp_;
  UniqueFd fd_;
  bool created_ = false, placed_ = false;
};

}  // namespace melodara
