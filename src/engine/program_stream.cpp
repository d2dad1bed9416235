#include "engine/program_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/little_endian.h"
#include "core/threads.h"
#include "core/utf8.h"

namespace melodara {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kTokenMaxBytes = 256;
constexpr auto kConnectTimeLimit = 500ms;
constexpr auto kSendTimeLimit = 500ms;
constexpr auto kReconnectInterval = 100ms;
constexpr auto kIdleSleep = 5ms;
constexpr auto kEmptySleep = 2ms;

constexpr const char* kEndpointInvalid = "program stream endpoint không hợp lệ";
constexpr const char* kNotIpLiteral = "program stream chỉ nhận địa chỉ IP cục bộ";
constexpr const char* kNotLoopback = "program stream chỉ được nối tới loopback";
constexpr const char* kStateUnavailable = "program stream state unavailable";

std::string system_text(int code) {
  char buffer[256];
  // GNU strerror_r: thread-safe, may return a static text instead of filling the buffer.
  return strerror_r(code, buffer, sizeof buffer);
}

// An IPv4 or IPv6 address literal, parsed strictly (no "127.1", no names).
struct ParsedAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  bool loopback = false;
};

std::optional<ParsedAddress> parse_ip_literal(const std::string& host, std::uint16_t port) {
  if (host.find('\0') != std::string::npos) return std::nullopt;
  ParsedAddress out;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    sa->sin_addr = v4;
    out.length = sizeof(sockaddr_in);
    out.loopback = (ntohl(v4.s_addr) >> 24) == 127;
    return out;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    sa->sin6_addr = v6;
    out.length = sizeof(sockaddr_in6);
    out.loopback = std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
    return out;
  }
  return std::nullopt;
}

void close_socket(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void set_error(ProgramStreamState& state, std::string text) {
  auto guard = state.error.lock();
  if (!guard.poisoned()) *guard = std::move(text);
}

// Writes all of `data`, resuming after partial writes. MSG_NOSIGNAL keeps a
// closed receiver from raising SIGPIPE. Gives up early only when the slot stops.
std::expected<void, std::string> write_all(int fd, const unsigned char* data, std::size_t size,
                                           const std::atomic<bool>& stop) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(system_text(errno));
    }
    if (n == 0) return std::unexpected(std::string("failed to write whole buffer"));
    data += n;
    size -= static_cast<std::size_t>(n);
    if (size > 0 && stop.load()) return std::unexpected(std::string("program stream stopped"));
  }
  return {};
}

std::string connect_failed(const std::string& why) { return "program stream connect failed: " + why; }

// Connects with a time limit and sends the handshake; the socket, or the failure text.
std::expected<int, std::string> connect_endpoint(const ProgramStreamEndpoint& endpoint,
                                                 const std::atomic<bool>& stop) {
  const auto address = parse_ip_literal(*endpoint.host, endpoint.port);
  if (!address) return std::unexpected(connect_failed(system_text(EINVAL)));

  int fd = ::socket(address->storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::unexpected(connect_failed(system_text(errno)));
  const auto fail = [&fd](std::string text) {
    close_socket(fd);
    return std::unexpected(std::move(text));
  };

  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address->storage), address->length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return fail(connect_failed(system_text(errno)));
    const auto deadline = Clock::now() + kConnectTimeLimit;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return fail(connect_failed("connection timed out"));
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return fail(connect_failed(system_text(errno)));
      }
      if (ready > 0) break;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    if (soError != 0) return fail(connect_failed(system_text(soError)));
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(connect_failed(system_text(errno)));
  }

  const int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // latency only

  timeval sendLimit{};
  sendLimit.tv_usec = std::chrono::microseconds(kSendTimeLimit).count();
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit) != 0) {
    return fail("program stream timeout setup failed: " + system_text(errno));
  }

  if (endpoint.token.size() > 0xFFFF) return fail("program stream token quá dài");
  std::vector<unsigned char> hello(8 + endpoint.token.size());
  std::memcpy(hello.data(), "MLDP", 4);
  store_le16(hello.data() + 4, 1);
  store_le16(hello.data() + 6, static_cast<std::uint16_t>(endpoint.token.size()));
  std::memcpy(hello.data() + 8, endpoint.token.data(), endpoint.token.size());
  if (auto written = write_all(fd, hello.data(), hello.size(), stop); !written) {
    return fail("program stream handshake failed: " + written.error());
  }
  return fd;
}

// Fills `packet` with the header and `n` frames; returns the packet's size.
std::size_t encode_packet(unsigned char* packet, const ProgramStreamFrame* frames, std::size_t n,
                          std::uint64_t sequence) {
  std::memcpy(packet, "MLDF", 4);
  store_le16(packet + 4, 1);
  store_le16(packet + 6, kProgramStreamChannels);
  store_le32(packet + 8, kProgramStreamSampleRate);
  store_le32(packet + 12, static_cast<std::uint32_t>(n));
  store_le64(packet + 16, sequence);
  store_le64(packet + 24, frames[0].stamp);
  unsigned char* p = packet + kProgramStreamHeaderBytes;
  for (std::size_t i = 0; i < n; ++i, p += kProgramStreamFrameBytes) {
    store_le32(p, std::bit_cast<std::uint32_t>(frames[i].left));
    store_le32(p + 4, std::bit_cast<std::uint32_t>(frames[i].right));
  }
  return kProgramStreamHeaderBytes + n * kProgramStreamFrameBytes;
}

void run_publisher(ProgramStreamQueue& queue, ProgramStreamState& state) {
  int fd = -1;
  std::uint64_t served = state.generation.load();
  std::uint64_t sequence = 0;
  auto lastAttempt = Clock::now() - 1s;
  std::vector<ProgramStreamFrame> frames(kProgramStreamPacketFrames);
  std::vector<unsigned char> packet(kProgramStreamHeaderBytes +
                                    kProgramStreamPacketFrames * kProgramStreamFrameBytes);

  while (!state.stop.load()) {
    if (!state.enabled.load()) {
      close_socket(fd);
      queue.clear();
      std::this_thread::sleep_for(kIdleSleep);
      continue;
    }
    const std::uint64_t generation = state.generation.load();
    if (generation != served) {
      close_socket(fd);
      queue.clear();
      sequence = 0;
      served = generation;
    }

    if (fd < 0 && Clock::now() - lastAttempt >= kReconnectInterval) {
      lastAttempt = Clock::now();
      ProgramStreamEndpoint endpoint;
      {
        auto guard = state.endpoint.lock();
        if (!guard.poisoned()) endpoint = *guard;
      }
      if (endpoint.host) {
        auto connected = connect_endpoint(endpoint, state.stop);
        if (connected) {
          fd = *connected;
        } else {
          set_error(state, std::move(connected.error()));
        }
      }
    }

    const std::size_t n = queue.take(frames.data(), frames.size());
    if (n == 0) {
      std::this_thread::sleep_for(kEmptySleep);
      continue;
    }
    // Without a connection the frames go: a later connection gets fresh audio only.
    if (fd < 0) continue;

    const std::size_t size = encode_packet(packet.data(), frames.data(), n, sequence);
    if (auto written = write_all(fd, packet.data(), size, state.stop); !written) {
      if (!state.stop.load()) set_error(state, std::move(written.error()));
      close_socket(fd);
    } else {
      ++sequence;
      state.sentPackets.fetch_add(1);
      state.sentFrames.fetch_add(n);
    }
  }
  close_socket(fd);
}

}  // namespace

std::expected<std::shared_ptr<ProgramStream>, std::string> program_stream_spawn() {
  auto slot = std::make_shared<ProgramStream>();
  slot->queue = std::make_shared<ProgramStreamQueue>();
  slot->state = std::make_shared<ProgramStreamState>();
  try {
    slot->publisher = std::thread([queue = slot->queue, state = slot->state] {
      // Linux keeps 15 bytes of a thread name.
      const std::string name = std::string(kProgramStreamThreadName).substr(0, 15);
      pthread_setname_np(pthread_self(), name.c_str());
      run_thread_body(kProgramStreamThreadName, [&] { run_publisher(*queue, *state); });
    });
  } catch (const std::system_error&) {
    return std::unexpected(std::string(kProgramStreamSpawnFailed));
  }
  return slot;
}

std::expected<ProgramStreamStatus, std::string> program_stream_open(ProgramStream& slot,
                                                                    std::string_view host, std::uint64_t port,
                                                                    std::string_view token) {
  // Texts from the line protocol are valid UTF-8 already; others are repaired before trimming.
  const std::string hostText = utf8_valid(host) ? std::string(host) : utf8_lossy(host);
  const std::string tokenText = utf8_valid(token) ? std::string(token) : utf8_lossy(token);
  const std::string trimmedHost(trim_unicode(hostText));
  const std::string trimmedToken(trim_unicode(tokenText));

  // A port beyond 16 bits is refused rather than cut to its low bits.
  if (port == 0 || port > 0xFFFF || trimmedHost.empty() || trimmedToken.empty() ||
      trimmedToken.size() > kTokenMaxBytes) {
    return std::unexpected(std::string(kEndpointInvalid));
  }
  const auto address = parse_ip_literal(trimmedHost, static_cast<std::uint16_t>(port));
  if (!address) return std::unexpected(std::string(kNotIpLiteral));
  if (!address->loopback) return std::unexpected(std::string(kNotLoopback));

  ProgramStreamState& state = *slot.state;
  {
    auto guard = state.endpoint.lock();
    if (guard.poisoned()) return std::unexpected(std::string(kStateUnavailable));
    guard->host = trimmedHost;
    guard->token = trimmedToken;
    guard->port = static_cast<std::uint16_t>(port);
  }
  state.sentPackets.store(0);
  state.sentFrames.store(0);
  state.droppedFrames.store(0);
  {
    auto guard = state.error.lock();
    if (!guard.poisoned()) guard->reset();
  }
  state.generation.fetch_add(1);
  state.enabled.store(true);
  return program_stream_status(slot);
}

void program_stream_close(ProgramStream& slot) noexcept {
  slot.state->enabled.store(false);
  slot.state->generation.fetch_add(1);
}

ProgramStreamStatus program_stream_status(const ProgramStream& slot) {
  ProgramStreamState& state = *slot.state;
  ProgramStreamStatus s;
  s.active = state.enabled.load();
  s.sent_packets = state.sentPackets.load();
  s.sent_frames = state.sentFrames.load();
  s.dropped_frames = state.droppedFrames.load();
  auto guard = state.error.lock();
  if (!guard.poisoned()) s.error = *guard;
  return s;
}

void program_stream_push_frame(ProgramStream& slot, std::uint64_t stamp, float left, float right) noexcept {
  ProgramStreamState& state = *slot.state;
  if (!state.enabled.load(std::memory_order_relaxed)) return;
  if (!slot.queue->try_push(ProgramStreamFrame{stamp, left, right})) {
    state.droppedFrames.fetch_add(1, std::memory_order_relaxed);
  }
}

void drop_program_stream_worker(ProgramStream& slot) {
  if (slot.state) {
    slot.state->enabled.store(false);
    if (!slot.state->stop.exchange(true)) slot.state->generation.fetch_add(1);
  }
  if (slot.publisher.joinable()) {
    try {
      slot.publisher.join();
    } catch (const std::system_error&) {
      die("failed to join thread");
    }
  }
}

ProgramStream::~ProgramStream() { drop_program_stream_worker(*this); }

}  // namespace melodara
