#include "core/threads.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace melodara {

void die(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::_Exit(101);
}

void run_thread_body(std::string_view name, const std::function<void()>& body) {
  const std::string label = name.empty() ? std::string("<unnamed>") : std::string(name);
  try {
    body();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "memory allocation failed in thread '%s'\n", label.c_str());
    std::abort();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "thread '%s' failed: %s\n", label.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "thread '%s' failed\n", label.c_str());
  }
}

std::optional<std::thread> spawn_joinable(std::string_view name, std::function<void()> body) {
  try {
    return std::thread([name = std::string(name), body = std::move(body)] {
      if (!name.empty()) pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      run_thread_body(name, body);
    });
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

bool spawn_detached(std::string_view name, std::function<void()> body) {
  auto thread = spawn_joinable(name, std::move(body));
  if (!thread) return false;
  thread->detach();
  return true;
}

}  // namespace melodara
