#include "core/turns.h"

#include <utility>

namespace melodara {

struct Turn::Line {
  std::mutex mutex;
  std::condition_variable moved;
  std::uint64_t taken = 0;    // places handed out
  std::uint64_t serving = 0;  // the place whose holder may act
};

Turn& Turn::operator=(Turn&& other) noexcept {
  if (this != &other) {
    end();
    line_ = std::move(other.line_);
    place_ = other.place_;
    waited_ = other.waited_;
  }
  return *this;
}

void Turn::wait() {
  if (!line_ || waited_) return;
  std::unique_lock lock(line_->mutex);
  line_->moved.wait(lock, [this] { return line_->serving == place_; });
  waited_ = true;
}

void Turn::end() {
  if (!line_) return;
  wait();
  {
    std::lock_guard lock(line_->mutex);
    ++line_->serving;
  }
  line_->moved.notify_all();
  line_.reset();
}

TurnQueue::TurnQueue() : line_(std::make_shared<Turn::Line>()) {}

Turn TurnQueue::take() {
  std::lock_guard lock(line_->mutex);
  return Turn(line_, line_->taken++);
}

}  // namespace melodara
