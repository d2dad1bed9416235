// The engine thread's share of the program stream: one 128-frame block pushed
// into both slots while their publishers drain the queues (disconnected, so the
// frames are taken and discarded). Reports the worst block beside the mean.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/program_stream.h"

namespace melodara {
namespace {

// A loopback port that refuses connections: bound, never listening.
int refusing_socket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
  port = ntohs(address.sin_port);
  return fd;
}

void BM_PushBlockBothSlots(benchmark::State& bench) {
  std::uint16_t port = 0;
  const int holder = refusing_socket(port);
  auto primary = program_stream_spawn();
  auto backing = program_stream_spawn();
  if (!primary || !backing || !program_stream_open(**primary, "127.0.0.1", port, "bench") ||
      !program_stream_open(**backing, "127.0.0.1", port, "bench")) {
    bench.SkipWithError("slot set-up failed");
    ::close(holder);
    return;
  }
  std::uint64_t stamp = 1;
  double worstNs = 0.0;
  for (auto _ : bench) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 128; ++i) {
      const float s = static_cast<float>(i) * 0.001f;
      program_stream_push_frame(**backing, stamp, s, -s);
      program_stream_push_frame(**primary, stamp, -s, s);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    bench.SetIterationTime(took.count());
    worstNs = std::max(worstNs, took.count() * 1e9);
    ++stamp;
    // Real blocks come every 2.67 ms; a short untimed pause lets the publishers
    // keep up as they would.
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  bench.counters["worst_block_ns"] = worstNs;
  bench.counters["dropped"] =
      static_cast<double>((*primary)->state->droppedFrames.load() + (*backing)->state->droppedFrames.load());
  primary->reset();
  backing->reset();
  ::close(holder);
}
BENCHMARK(BM_PushBlockBothSlots)->Iterations(20000)->UseManualTime();

void BM_QueueTakePacket(benchmark::State& bench) {
  ProgramStreamQueue queue;
  std::vector<ProgramStreamFrame> out(kProgramStreamPacketFrames);
  for (auto _ : bench) {
    for (std::size_t i = 0; i < kProgramStreamPacketFrames; ++i) {
      queue.try_push(ProgramStreamFrame{i, 0.5f, -0.5f});
    }
    benchmark::DoNotOptimize(queue.take(out.data(), out.size()));
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(kProgramStreamPacketFrames));
}
BENCHMARK(BM_QueueTakePacket);

}  // namespace
}  // namespace melodara
