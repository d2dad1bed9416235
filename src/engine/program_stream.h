#pragma once
// The program-stream slots: raw PCM of the mix published over TCP to a receiver
// of the host on a loopback address. Each slot has a frame queue filled by the
// engine thread, a shared state polled by the operations, and a publisher thread
// that connects, sends the "MLDP" handshake with the host's token and then
// "MLDF" packets of up to 960 stereo frames (all fields little-endian).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/mutex.h"
#include "core/spsc_queue.h"

namespace melodara {

inline constexpr std::size_t kProgramStreamQueueLimit = 7680;  // 160 ms at 48 kHz
inline constexpr std::size_t kProgramStreamPacketFrames = 960;
inline constexpr std::uint32_t kProgramStreamSampleRate = 48000;
inline constexpr std::uint16_t kProgramStreamChannels = 2;
inline constexpr std::size_t kProgramStreamHeaderBytes = 32;
inline constexpr std::size_t kProgramStreamFrameBytes = 8;

inline constexpr const char* kProgramStreamThreadName = "melodara-native-program-stream";
inline constexpr const char* kProgramStreamSpawnFailed = "native program stream worker must start";

struct ProgramStreamFrame {
  std::uint64_t stamp = 0;  // audio revision of the block the frame belongs to
  float left = 0.0f;
  float right = 0.0f;
};

// The frames from the engine (the one producer) to the publisher (the one
// consumer): at most `limit` frames; a full queue refuses new frames and keeps
// the older ones.
struct ProgramStreamQueue : SpscQueue<ProgramStreamFrame> {
  explicit ProgramStreamQueue(std::size_t limit = kProgramStreamQueueLimit) : SpscQueue(limit) {}
};

struct ProgramStreamEndpoint {
  std::optional<std::string> host;  // none until the first open
  std::string token;
  std::uint16_t port = 0;
};

struct ProgramStreamState {
  std::atomic<std::uint64_t> generation{0};  // open, close and shutdown add 1
  std::atomic<std::uint64_t> sentPackets{0};
  std::atomic<std::uint64_t> sentFrames{0};
  std::atomic<std::uint64_t> droppedFrames{0};
  Mutex<std::optional<std::string>> error;  // the last failure's text
  Mutex<ProgramStreamEndpoint> endpoint;
  std::atomic<bool> enabled{false};
  std::atomic<bool> stop{false};
};

// One slot. Destroying the last handle shuts the slot down and joins its
// publisher (which holds only the queue and the state, never the handle).
struct ProgramStream {
  ProgramStream() = default;
  ProgramStream(const ProgramStream&) = delete;
  ProgramStream& operator=(const ProgramStream&) = delete;
  ~ProgramStream();

  std::shared_ptr<ProgramStreamQueue> queue;
  std::shared_ptr<ProgramStreamState> state;
  std::thread publisher;
};

// Makes the queue, the state and the publisher thread of a new slot, closed.
// Fails with kProgramStreamSpawnFailed when the thread cannot start.
// Thread: start-up. Allocates: yes. Blocks: no.
std::expected<std::shared_ptr<ProgramStream>, std::string> program_stream_spawn();

// A slot's status as the operations answer it.
struct ProgramStreamStatus {
  bool active = false;  // enabled: "active", else "closed"
  std::uint64_t sent_packets = 0;
  std::uint64_t sent_frames = 0;
  std::uint64_t dropped_frames = 0;
  std::optional<std::string> error;  // the last failure's text
  friend bool operator==(const ProgramStreamStatus&, const ProgramStreamStatus&) = default;
};

// Validates and stores the endpoint (loopback IP literals only; 1..65,535 for
// the port; a 1..256-byte token), resets the counters and the error, raises the
// generation and enables the slot. Returns the status right after the open, or
// the error text; a failed open changes nothing.
// Thread: any. Blocks: briefly, on the slot's locks. Allocates: yes.
std::expected<ProgramStreamStatus, std::string> program_stream_open(ProgramStream& slot,
                                                                    std::string_view host, std::uint64_t port,
                                                                    std::string_view token);

// Disables the slot and raises its generation; the publisher drops its connection.
// Thread: any. Allocates: no. Blocks: no.
void program_stream_close(ProgramStream& slot) noexcept;

// Thread: any. Blocks: briefly, on the error lock. Allocates: the error text.
ProgramStreamStatus program_stream_status(const ProgramStream& slot);

// Queues one frame when the slot is enabled; a full queue refuses it and counts
// it in droppedFrames. Thread: engine only. Allocates: no. Blocks: no.
void program_stream_push_frame(ProgramStream& slot, std::uint64_t stamp, float left, float right) noexcept;

// Shuts the slot down: disabled, stop set, generation raised, publisher joined
// (a failed join ends the process). Safe to call again.
// Thread: any but the publisher. Blocks: until the publisher ends (a connect
// or send in progress gives up within 500 ms).
// Allocates: no.
void drop_program_stream_worker(ProgramStream& slot);

}  // namespace melodara
