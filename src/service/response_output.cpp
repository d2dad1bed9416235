#include "service/response_output.h"

#include <unistd.h>

#include <cerrno>

namespace melodara {

ResponseOutput make_response_output(int fd) {
  return std::make_shared<Mutex<OutputTarget>>(OutputTarget{fd});
}

void write_response(const ResponseOutput& output, const Response& response) {
  std::string line = serialize_response(response);
  line += '\n';
  auto guard = output->lock();
  if (guard.poisoned()) return;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(guard->fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or broken output is ignored
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace melodara
