#include "core/replacing_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/stale_temps.h"

namespace melodara {
namespace fs = std::filesystem;

namespace {

// A name held by someone else's file is rare (a former process with our pid,
// in a namespace of its own); a run of them means something else is wrong.
constexpr int kCreateAttempts = 8;

int fsync_retrying(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

ReplacingFile::ReplacingFile(fs::path path) : path_(std::move(path)), temp_(temp_path_beside(path_)) {}

ReplacingFile::~ReplacingFile() {
  fd_.reset();
  if (created_ && !placed_) ::unlink(temp_.c_str());
}

int ReplacingFile::create() {
  if (created_) return EEXIST;
  for (int attempt = 1;; ++attempt) {
    // O_EXCL also refuses a link of that name, without following it.
    const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      fd_.reset(fd);
      created_ = true;
      return 0;
    }
    if (errno != EEXIST || attempt == kCreateAttempts) return errno;
    temp_ = temp_path_beside(path_);
  }
}

int ReplacingFile::finish_writing() {
  if (!fd_.valid()) return EBADF;
  if (const int err = fsync_retrying(fd_.get()); err != 0) return err;
  // A close can report a write the kernel could not finish (NFS, quotas).
  if (::close(fd_.release()) != 0 && errno != EINTR) return errno;
  return 0;
}

int ReplacingFile::put_in_place() {
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return errno;
  placed_ = true;
  const fs::path folder = path_.has_parent_path() ? path_.parent_path() : fs::path(".");
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) (void)fsync_retrying(dir.get());
  return 0;
}

}  // namespace melodara
