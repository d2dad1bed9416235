#pragma once
// Turns taken in one order and run in it: a thread takes a turn where the order
// is decided (the reader of the requests), hands it to another thread, and
// that one waits until every earlier turn has ended before it acts.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace melodara {

class TurnQueue;

// One place in a TurnQueue. It ends when end() is called or it is destroyed;
// ending a turn that never waited waits for its place first, so the turns
// after it keep their order.
class Turn {
 public:
  Turn() = default;
  Turn(Turn&& other) noexcept = default;
  Turn& operator=(Turn&& other) noexcept;
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  ~Turn() { end(); }

  // Waits until every earlier turn has ended.
  // Thread: any but realtime. Allocates: no. Blocks: for the earlier turns.
  void wait();
  // Lets the next turn go. Thread: any but realtime. Allocates: no. Blocks: as wait().
  void end();

 private:
  friend class TurnQueue;
  struct Line;
  Turn(std::shared_ptr<Line> line, std::uint64_t place) : line_(std::move(line)), place_(place) {}
  std::shared_ptr<Line> line_;
  std::uint64_t place_ = 0;
  bool waited_ = false;
};

class TurnQueue {
 public:
  TurnQueue();
  // The next place in the line. Thread: any. Allocates: no. Blocks: briefly on the line's lock.
  Turn take();

 private:
  std::shared_ptr<Turn::Line> line_;
};

}  // namespace melodara
