#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "core/replacing_file.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

}  // namespace

int write_all(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 30);
    const ssize_t n = ::write(fd, bytes.data() + done, chunk);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

std::string FileReadError::text() const {
  switch (kind) {
    case Kind::NotFound: return std::strerror(ENOENT);
    case Kind::Directory: return std::strerror(EISDIR);
    case Kind::TooLarge: return std::strerror(EFBIG);
    case Kind::NotRegular: return std::strerror(EINVAL);
    case Kind::Failed: break;
  }
  return std::strerror(error);
}

std::expected<UniqueFd, FileReadError> open_regular_file(const fs::path& path, Links links) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (links == Links::Refuse) flags |= O_NOFOLLOW;
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR)
      return std::unexpected(FileReadError{FileReadError::Kind::NotFound});
    if (errno == ELOOP) return std::unexpected(FileReadError{FileReadError::Kind::NotRegular});
    return std::unexpected(FileReadError{FileReadError::Kind::Failed, errno});
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(FileReadError{FileReadError::Kind::Failed, errno});
  if (S_ISDIR(st.st_mode)) return std::unexpected(FileReadError{FileReadError::Kind::Directory});
  if (!S_ISREG(st.st_mode)) return std::unexpected(FileReadError{FileReadError::Kind::NotRegular});
  // Regular files never block; reads go back to the ordinary blocking kind.
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl >= 0) ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

std::expected<std::vector<std::uint8_t>, FileReadError> read_regular_file(const fs::path& path,
                                                                          std::uint64_t max_bytes,
                                                                          Links links) {
  auto fd = open_regular_file(path, links);
  if (!fd) return std::unexpected(fd.error());
  struct stat st {};
  if (::fstat(fd->get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    return std::unexpected(FileReadError{FileReadError::Kind::TooLarge});
  }
  std::vector<std::uint8_t> bytes;
  if (st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd->get(), buf, sizeof buf);
    if (n > 0) {
      // The file may have grown since it was measured.
      if (static_cast<std::uint64_t>(n) > max_bytes - bytes.size()) {
        return std::unexpected(FileReadError{FileReadError::Kind::TooLarge});
      }
      bytes.insert(bytes.end(), buf, buf + n);
    } else if (n == 0) {
      return bytes;
    } else if (errno != EINTR) {
      return std::unexpected(FileReadError{FileReadError::Kind::Failed, errno});
    }
  }
}

std::optional<std::vector<std::uint8_t>> read_file_bytes(const fs::path& path) {
  auto bytes = read_regular_file(path, std::numeric_limits<std::uint64_t>::max(), Links::Follow);
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

bool write_file_replacing(const fs::path& path, std::span<const std::uint8_t> bytes) {
  ReplacingFile file(path);
  return file.create() == 0 && write_all(file.fd(), bytes) == 0 && file.finish_writing() == 0 &&
         file.put_in_place() == 0;
}

}  // namespace melodara
