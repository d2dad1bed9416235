#include "engine/program_stream.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace melodara {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string errno_text(int code) { return std::strerror(code); }

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool make_address(const std::string& host, std::uint16_t port, sockaddr_storage& out, socklen_t& len) {
  out = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

// A socket bound to a loopback port (0: any free one), listening or not.
// Bound but not listening, connections to it are refused.
Fd bind_socket(const std::string& host, std::uint16_t port, bool listening, int receiveBuffer = 0) {
  sockaddr_storage address;
  socklen_t len = 0;
  if (!make_address(host, port, address, len)) return Fd();
  Fd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return Fd();
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), len) != 0) return Fd();
  if (listening && ::listen(fd.get(), 8) != 0) return Fd();
  return fd;
}

std::uint16_t port_of(const Fd& fd) {
  sockaddr_storage address{};
  socklen_t len = sizeof address;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &len);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

Fd accept_within(const Fd& listener, std::chrono::milliseconds limit = 3000ms) {
  pollfd p{listener.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return Fd();
  return Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// When the first bytes of a connection reached this host, as the kernel stamped
// them on arrival (the listener asks for stamps): a test thread that a busy
// machine runs late does not move it. None without bytes or a stamp.
std::optional<std::chrono::nanoseconds> first_bytes_arrival(const Fd& conn,
                                                            std::chrono::milliseconds limit = 3000ms) {
  pollfd p{conn.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  char data[64];
  iovec iov{data, sizeof data};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(conn.get(), &message, 0) <= 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec at{};
    std::memcpy(&at, CMSG_DATA(c), sizeof at);
    return std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec);
  }
  return std::nullopt;
}

// Asks the listener's connections for arrival stamps. The kernel starts stamping
// a moment after the first socket asks, so this waits until a connection of
// its own comes in stamped.
bool stamp_arrivals(const Fd& listener) {
  const int one = 1;
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0) return false;
  sockaddr_storage address;
  socklen_t len = 0;
  if (!make_address("127.0.0.1", port_of(listener), address, len)) return false;
  for (const auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
    const Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), len) != 0 ||
        ::send(client.get(), "x", 1, MSG_NOSIGNAL) != 1)
      continue;
    if (const Fd conn = accept_within(listener); first_bytes_arrival(conn)) return true;
  }
  return false;
}

// Reads exactly n bytes; none on EOF, error or time-out.
std::optional<std::vector<unsigned char>> read_exact(const Fd& fd, std::size_t n,
                                                     std::chrono::milliseconds limit = 3000ms) {
  std::vector<unsigned char> out(n);
  std::size_t have = 0;
  const auto deadline = Clock::now() + limit;
  while (have < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return std::nullopt;
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t got = ::recv(fd.get(), out.data() + have, n - have, 0);
    if (got <= 0) return std::nullopt;
    have += static_cast<std::size_t>(got);
  }
  return out;
}

// True when the peer closes the connection within the limit (pending data is skipped).
bool sees_eof(const Fd& fd, std::chrono::milliseconds limit = 2000ms) {
  const auto deadline = Clock::now() + limit;
  unsigned char sink[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    const ssize_t got = ::recv(fd.get(), sink, sizeof sink, 0);
    if (got <= 0) return true;
  }
  return false;
}

std::uint64_t le(const std::vector<unsigned char>& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

std::optional<std::string> read_handshake(const Fd& fd) {
  const auto head = read_exact(fd, 8);
  if (!head) return std::nullopt;
  EXPECT_EQ(std::string(head->begin(), head->begin() + 4), "MLDP");
  EXPECT_EQ(le(*head, 4, 2), 1u);
  const auto token = read_exact(fd, le(*head, 6, 2));
  if (!token) return std::nullopt;
  return std::string(token->begin(), token->end());
}

struct Packet {
  std::uint64_t sequence = 0;
  std::uint64_t stamp = 0;
  std::vector<float> samples;  // interleaved left, right
  std::size_t frames() const { return samples.size() / 2; }
};

std::optional<Packet> read_packet(const Fd& fd) {
  const auto head = read_exact(fd, 32);
  if (!head) return std::nullopt;
  EXPECT_EQ(std::string(head->begin(), head->begin() + 4), "MLDF");
  EXPECT_EQ(le(*head, 4, 2), 1u);
  EXPECT_EQ(le(*head, 6, 2), 2u);
  EXPECT_EQ(le(*head, 8, 4), 48000u);
  const std::uint64_t n = le(*head, 12, 4);
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, 960u);
  if (n < 1 || n > 960) return std::nullopt;
  Packet packet;
  packet.sequence = le(*head, 16, 8);
  packet.stamp = le(*head, 24, 8);
  const auto body = read_exact(fd, 8 * n);
  if (!body) return std::nullopt;
  for (std::size_t i = 0; i < 2 * n; ++i) {
    packet.samples.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(le(*body, 4 * i, 4))));
  }
  return packet;
}

std::shared_ptr<ProgramStream> spawn_slot() {
  auto slot = program_stream_spawn();
  EXPECT_TRUE(slot.has_value());
  return slot ? *slot : nullptr;
}

ProgramStreamStatus status(const ProgramStream& slot) { return program_stream_status(slot); }

ProgramStreamStatus expected_status(const char* state, std::uint64_t packets, std::uint64_t frames,
                                    std::uint64_t dropped, std::optional<std::string> error = std::nullopt) {
  return {std::string_view(state) == "active", packets, frames, dropped, std::move(error)};
}

std::string describe(const ProgramStreamStatus& s) {
  return std::string(s.active ? "active" : "closed") + " packets " + std::to_string(s.sent_packets) +
         " frames " + std::to_string(s.sent_frames) + " dropped " + std::to_string(s.dropped_frames) +
         " error " + s.error.value_or("none");
}

std::optional<std::string> error_of(const ProgramStream& slot) { return status(slot).error; }

// Frame i of a test signal: samples that tell frames apart, and a stamp that
// changes every 128-frame block, as the engine's audio revision can.
float left_of(std::size_t i) { return static_cast<float>(i); }
float right_of(std::size_t i) { return -0.5f * static_cast<float>(i); }
std::uint64_t stamp_of(std::size_t i) { return 1000 + i / 128; }

void push_signal(ProgramStream& slot, std::size_t from, std::size_t count) {
  for (std::size_t i = from; i < from + count; ++i) {
    program_stream_push_frame(slot, stamp_of(i), left_of(i), right_of(i));
  }
}

TEST(ProgramStreamQueue, BoundedFifoRefusesNewFramesWhenFull) {
  ProgramStreamQueue queue;
  const auto frame = [](std::size_t i) {
    return ProgramStreamFrame{i, static_cast<float>(i), -static_cast<float>(i)};
  };
  std::vector<ProgramStreamFrame> out(kProgramStreamPacketFrames + 10);
  std::size_t pushed = 0;
  std::size_t taken = 0;
  // Several rounds so the indices wrap around the storage.
  for (int round = 0; round < 4; ++round) {
    while (queue.try_push(frame(pushed))) ++pushed;
    ASSERT_EQ(queue.size(), kProgramStreamQueueLimit);
    EXPECT_FALSE(queue.try_push(frame(999999)));  // the old frames stay
    for (int k = 0; k < 3; ++k) {
      const std::size_t n = queue.take(out.data(), kProgramStreamPacketFrames);
      ASSERT_EQ(n, kProgramStreamPacketFrames);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i].stamp, taken + i);
        ASSERT_EQ(out[i].left, static_cast<float>(taken + i));
        ASSERT_EQ(out[i].right, -static_cast<float>(taken + i));
      }
      taken += n;
    }
    EXPECT_EQ(queue.size(), kProgramStreamQueueLimit - 3 * kProgramStreamPacketFrames);
  }
  queue.clear();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.take(out.data(), out.size()), 0u);
  ASSERT_TRUE(queue.try_push(frame(7)));
  ASSERT_EQ(queue.take(out.data(), out.size()), 1u);
  EXPECT_EQ(out[0].stamp, 7u);
}

TEST(ProgramStreamQueue, ProducerAndConsumerThreadsKeepOrder) {
  ProgramStreamQueue queue;
  constexpr std::size_t kTotal = 200000;
  std::thread producer([&] {
    for (std::size_t i = 0; i < kTotal;) {
      if (queue.try_push(ProgramStreamFrame{i, static_cast<float>(i & 0xFFFF), 0.0f})) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::vector<ProgramStreamFrame> out(kProgramStreamPacketFrames);
  std::size_t next = 0;
  bool inOrder = true;
  const auto deadline = Clock::now() + 5s;
  while (next < kTotal && Clock::now() < deadline) {
    const std::size_t n = queue.take(out.data(), out.size());
    for (std::size_t i = 0; i < n; ++i, ++next) {
      inOrder = inOrder && out[i].stamp == next && out[i].left == static_cast<float>(next & 0xFFFF);
    }
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(next, kTotal);
  EXPECT_TRUE(inOrder);
}

TEST(ProgramStream, SpawnsClosedWithNamedPublisher) {
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  EXPECT_EQ(status(*slot), expected_status("closed", 0, 0, 0));
  EXPECT_FALSE(slot->state->endpoint.lock()->host.has_value());
  // A closed slot does not queue or count frames.
  push_signal(*slot, 0, 100);
  EXPECT_EQ(slot->queue->size(), 0u);
  EXPECT_EQ(status(*slot).dropped_frames, 0u);

  // The thread names itself once it runs.
  EXPECT_TRUE(wait_until([] {
    bool named = false;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
      while (const dirent* entry = ::readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "melodara-native") named = true;
      }
      ::closedir(tasks);
    }
    return named;
  }));
}

TEST(ProgramStream, OpenValidatesTheEndpoint) {
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  // Successful opens aim at a port the test holds without listening: refused.
  const Fd holder = bind_socket("127.0.0.1", 0, false);
  ASSERT_GE(holder.get(), 0);
  const std::uint64_t port = port_of(holder);
  const std::string invalid = "program stream endpoint không hợp lệ";
  const std::string notIp = "program stream chỉ nhận địa chỉ IP cục bộ";
  const std::string notLoopback = "program stream chỉ được nối tới loopback";

  struct Case {
    std::string host;
    std::uint64_t port;
    std::string token;
    std::string error;  // empty: accepted
    std::string storedHost;
    std::string storedToken;
  };
  const std::string t256(256, 't');
  const std::vector<Case> cases = {
      {" 127.0.0.1 ", port, "abc", "", "127.0.0.1", "abc"},
      {"\u3000127.0.0.1\t", port, " tok\u00a0", "", "127.0.0.1", "tok"},
      {"127.8.9.10", port, "x", "", "127.8.9.10", "x"},
      {"::1", port, t256, "", "::1", t256},
      {"127.0.0.1", 65535, "a", "", "127.0.0.1", "a"},
      {"127.0.0.1", 0, "abc", invalid, "", ""},
      {"127.0.0.1", 70000, "abc", invalid, "", ""},
      {"127.0.0.1", 65536, "abc", invalid, "", ""},
      {"127.0.0.1", port, "", invalid, "", ""},
      {"127.0.0.1", port, " \t ", invalid, "", ""},
      {"127.0.0.1", port, std::string(257, 't'), invalid, "", ""},
      {"", port, "abc", invalid, "", ""},
      {"   ", port, "abc", invalid, "", ""},
      {"localhost", port, "abc", notIp, "", ""},
      {"127.1", port, "abc", notIp, "", ""},
      {"127.0.0.01", port, "abc", notIp, "", ""},
      {"[::1]", port, "abc", notIp, "", ""},
      {std::string("127.0.0.1\0.5", 11), port, "abc", notIp, "", ""},
      {"192.168.1.2", port, "abc", notLoopback, "", ""},
      {"::2", port, "abc", notLoopback, "", ""},
      {"::ffff:127.0.0.1", port, "abc", notLoopback, "", ""},
      {"0.0.0.0", port, "abc", notLoopback, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("host '" + c.host + "' port " + std::to_string(c.port) + " token " +
                 std::to_string(c.token.size()) + " bytes");
    const std::uint64_t generation = slot->state->generation.load();
    const bool enabled = slot->state->enabled.load();
    const ProgramStreamEndpoint before = *slot->state->endpoint.lock();

    const auto opened = program_stream_open(*slot, c.host, c.port, c.token);
    if (c.error.empty()) {
      ASSERT_TRUE(opened.has_value()) << opened.error();
      EXPECT_EQ(*opened, expected_status("active", 0, 0, 0));
      EXPECT_EQ(slot->state->generation.load(), generation + 1);
      const ProgramStreamEndpoint stored = *slot->state->endpoint.lock();
      EXPECT_EQ(stored.host, c.storedHost);
      EXPECT_EQ(stored.token, c.storedToken);
      EXPECT_EQ(stored.port, c.port);
    } else {
      ASSERT_FALSE(opened.has_value());
      EXPECT_EQ(opened.error(), c.error);
      EXPECT_EQ(slot->state->generation.load(), generation);
      EXPECT_EQ(slot->state->enabled.load(), enabled);
      const ProgramStreamEndpoint after = *slot->state->endpoint.lock();
      EXPECT_EQ(after.host, before.host);
      EXPECT_EQ(after.token, before.token);
      EXPECT_EQ(after.port, before.port);
    }
  }
}

class ProgramStreamWire : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramStreamWire, HandshakeThenContiguousPackets) {
  const std::string host = GetParam();
  const Fd listener = bind_socket(host, 0, true);
  if (listener.get() < 0) GTEST_SKIP() << "no loopback listener on " << host;
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  const std::string token = "tok\u00e9n-42";  // bytes, not characters, are counted
  ASSERT_TRUE(program_stream_open(*slot, host, port_of(listener), token));

  const Fd conn = accept_within(listener);
  ASSERT_GE(conn.get(), 0);
  {
    const auto head = read_exact(conn, 8 + token.size());
    ASSERT_TRUE(head);
    std::vector<unsigned char> wanted = {'M', 'L', 'D', 'P', 1, 0, static_cast<unsigned char>(token.size()),
                                         0};
    wanted.insert(wanted.end(), token.begin(), token.end());
    EXPECT_EQ(*head, wanted);
  }

  // Frames pushed once the handshake is through all arrive, in order.
  constexpr std::size_t kFrames = 3000;
  push_signal(*slot, 0, kFrames);
  std::size_t received = 0;
  std::uint64_t packets = 0;
  while (received < kFrames) {
    const auto packet = read_packet(conn);
    ASSERT_TRUE(packet) << "after " << received << " frames";
    EXPECT_EQ(packet->sequence, packets);
    EXPECT_EQ(packet->stamp, stamp_of(received));
    for (std::size_t i = 0; i < packet->frames(); ++i) {
      ASSERT_EQ(packet->samples[2 * i], left_of(received + i));
      ASSERT_EQ(packet->samples[2 * i + 1], right_of(received + i));
    }
    received += packet->frames();
    ++packets;
  }
  EXPECT_EQ(received, kFrames);
  EXPECT_GE(packets, 4u);  // 960 frames at most per packet
  EXPECT_TRUE(wait_until([&] { return status(*slot) == expected_status("active", packets, kFrames, 0); }))
      << describe(status(*slot));
}

INSTANTIATE_TEST_SUITE_P(Loopback, ProgramStreamWire, ::testing::Values("127.0.0.1", "::1"));

TEST(ProgramStream, ReconnectsAfterReceiverRestartAndContinuesSequence) {
  Fd listener = bind_socket("127.0.0.1", 0, true);
  ASSERT_GE(listener.get(), 0);
  const std::uint16_t port = port_of(listener);
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port, "abc"));

  std::uint64_t lastSequence = 0;
  {
    const Fd conn = accept_within(listener);
    ASSERT_GE(conn.get(), 0);
    ASSERT_EQ(read_handshake(conn), "abc");
    push_signal(*slot, 0, 2000);
    std::size_t received = 0;
    while (received < 2000) {
      const auto packet = read_packet(conn);
      ASSERT_TRUE(packet);
      lastSequence = packet->sequence;
      received += packet->frames();
    }
    ASSERT_GE(lastSequence, 2u);
    listener.reset();  // the receiver goes away
  }

  // The engine keeps pushing; writes fail, then connects are refused.
  const std::string refused = "program stream connect failed: " + errno_text(ECONNREFUSED);
  std::size_t next = 2000;
  ASSERT_TRUE(wait_until([&] {
    push_signal(*slot, next, 128);
    next += 128;
    return error_of(*slot) == refused;
  })) << describe(status(*slot));
  EXPECT_TRUE(status(*slot).active);

  listener = bind_socket("127.0.0.1", port, true);
  ASSERT_GE(listener.get(), 0);
  const Fd conn = accept_within(listener);
  ASSERT_GE(conn.get(), 0);
  ASSERT_EQ(read_handshake(conn), "abc");
  EXPECT_EQ(error_of(*slot), refused);  // a new connection leaves the last error in place
  push_signal(*slot, next, 1500);
  const auto first = read_packet(conn);
  ASSERT_TRUE(first);
  EXPECT_GT(first->sequence, lastSequence);
  const auto second = read_packet(conn);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->sequence, first->sequence + 1);
}

TEST(ProgramStream, CloseThenOpenRestartsSequence) {
  const Fd listener = bind_socket("127.0.0.1", 0, true);
  ASSERT_GE(listener.get(), 0);
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(listener), "first"));
  const Fd firstConn = accept_within(listener);
  ASSERT_GE(firstConn.get(), 0);
  ASSERT_EQ(read_handshake(firstConn), "first");
  push_signal(*slot, 0, 2000);
  std::size_t received = 0;
  std::uint64_t packets = 0;
  while (received < 2000) {
    const auto packet = read_packet(firstConn);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->sequence, packets++);
    received += packet->frames();
  }
  ASSERT_TRUE(wait_until([&] { return status(*slot).sent_frames == 2000; }));

  const std::uint64_t generation = slot->state->generation.load();
  program_stream_close(*slot);
  EXPECT_EQ(slot->state->generation.load(), generation + 1);
  // Close keeps the counters for the status.
  EXPECT_EQ(status(*slot), expected_status("closed", packets, 2000, 0));
  EXPECT_TRUE(sees_eof(firstConn));

  const auto reopened = program_stream_open(*slot, "127.0.0.1", port_of(listener), "second");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(*reopened, expected_status("active", 0, 0, 0));
  const Fd secondConn = accept_within(listener);
  ASSERT_GE(secondConn.get(), 0);
  ASSERT_EQ(read_handshake(secondConn), "second");
  push_signal(*slot, 0, 1000);
  const auto packet = read_packet(secondConn);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->sequence, 0u);
  EXPECT_EQ(packet->stamp, stamp_of(0));

  // Dropping the last handle shuts the publisher down and its connection with it.
  slot.reset();
  EXPECT_TRUE(sees_eof(secondConn));
}

TEST(ProgramStream, ReceiverThatNeverReadsIsDroppedAndReconnected) {
  // A small receive window so the sender's buffers fill quickly.
  const Fd listener = bind_socket("127.0.0.1", 0, true, 4096);
  ASSERT_GE(listener.get(), 0);
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(listener), "abc"));
  const Fd stuck = accept_within(listener);
  ASSERT_GE(stuck.get(), 0);

  // Push far faster than real time to fill the socket buffers; a blocked
  // publisher must never hold the pusher up.
  Fd second;
  std::size_t next = 0;
  const bool reconnected = wait_until(
      [&] {
        push_signal(*slot, next, 4096);
        next += 4096;
        if (second.get() < 0) second = accept_within(listener, 0ms);
        return second.get() >= 0 && error_of(*slot).has_value();
      },
      5000ms);
  ASSERT_TRUE(reconnected) << describe(status(*slot));
  EXPECT_EQ(error_of(*slot), errno_text(EAGAIN));  // the send time-out
  EXPECT_GT(status(*slot).dropped_frames, 0u);
  EXPECT_TRUE(status(*slot).active);
  EXPECT_TRUE(sees_eof(stuck));
  EXPECT_EQ(read_handshake(second), "abc");
}

TEST(ProgramStream, ReconnectAttemptsAreSpacedAtLeast100ms) {
  const Fd listener = bind_socket("127.0.0.1", 0, true);
  ASSERT_GE(listener.get(), 0);
  ASSERT_TRUE(stamp_arrivals(listener));
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(listener), "abc"));

  // Each connection is accepted and dropped once its handshake is in; the
  // publisher's next packet fails.
  constexpr std::size_t kConnections = 11;
  // Frames come at the engine's pace, a block of 128 every 1/375 s and never
  // faster, so the queue overflows only if the publisher stops draining it.
  std::vector<std::chrono::nanoseconds> arrivals;
  std::size_t next = 0;
  auto due = Clock::now();
  for (const auto end = due + 20s; arrivals.size() < kConnections && Clock::now() < end;) {
    if (Fd conn = accept_within(listener, 1ms); conn.get() >= 0) {
      const auto at = first_bytes_arrival(conn);
      ASSERT_TRUE(at) << "connection " << arrivals.size();
      arrivals.push_back(*at);
    }
    push_signal(*slot, next, 128);
    next += 128;
    due = std::max(due + std::chrono::nanoseconds(1'000'000'000 / 375), Clock::now());
    std::this_thread::sleep_until(due);
  }
  ASSERT_EQ(arrivals.size(), kConnections);
  // Attempts start 100 ms apart; a handshake reaches us a little after its
  // attempt started, later still when the machine is busy, which can shorten one
  // gap by as much as it lengthens the one before. Over ten gaps that averages out.
  const auto mean_gap = (arrivals.back() - arrivals.front()) / (kConnections - 1);
  EXPECT_GE(mean_gap, 90ms);
  const auto error = error_of(*slot);
  ASSERT_TRUE(error);
  EXPECT_TRUE(*error == errno_text(EPIPE) || *error == errno_text(ECONNRESET)) << *error;
  EXPECT_EQ(status(*slot).dropped_frames, 0u);
}

TEST(ProgramStream, ConnectRefusedSetsErrorAndStaysActive) {
  const Fd holder = bind_socket("127.0.0.1", 0, false);
  ASSERT_GE(holder.get(), 0);
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(holder), "abc"));
  const std::string refused = "program stream connect failed: " + errno_text(ECONNREFUSED);
  std::size_t next = 0;
  ASSERT_TRUE(wait_until([&] {
    push_signal(*slot, next, 128);  // taken and discarded while disconnected
    next += 128;
    return error_of(*slot).has_value();
  }));
  EXPECT_EQ(status(*slot), expected_status("active", 0, 0, 0, refused));
  EXPECT_TRUE(wait_until([&] { return slot->queue->size() == 0; }));
}

TEST(ProgramStream, ConnectGivesUpAfterItsTimeLimit) {
  // A listener whose accept queue is full drops further connection requests.
  const Fd listener = bind_socket("127.0.0.1", 0, false);
  ASSERT_GE(listener.get(), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  sockaddr_storage address;
  socklen_t len = 0;
  ASSERT_TRUE(make_address("127.0.0.1", port_of(listener), address, len));
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&address), len);
  }
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(listener), "abc"));
  ASSERT_TRUE(wait_until([&] { return error_of(*slot).has_value(); }, 3000ms));
  EXPECT_EQ(error_of(*slot), "program stream connect failed: connection timed out");
  EXPECT_TRUE(status(*slot).active);
}

TEST(ProgramStream, FullQueueCountsDroppedFramesUntilNextOpen) {
  const Fd holder = bind_socket("127.0.0.1", 0, false);
  ASSERT_GE(holder.get(), 0);
  auto slot = spawn_slot();
  ASSERT_TRUE(slot);
  ASSERT_TRUE(program_stream_open(*slot, "127.0.0.1", port_of(holder), "abc"));
  // Stop the publisher so nothing drains the queue; the slot stays enabled.
  slot->state->stop.store(true);
  slot->publisher.join();

  push_signal(*slot, 0, kProgramStreamQueueLimit);
  EXPECT_EQ(status(*slot).dropped_frames, 0u);
  push_signal(*slot, kProgramStreamQueueLimit, 25);
  EXPECT_EQ(status(*slot).dropped_frames, 25u);
  EXPECT_EQ(slot->queue->size(), kProgramStreamQueueLimit);

  std::vector<ProgramStreamFrame> front(1);
  ASSERT_EQ(slot->queue->take(front.data(), 1), 1u);
  EXPECT_EQ(front[0].left, left_of(0));  // the oldest frame was kept
  push_signal(*slot, 0, 2);              // one fits again, one is refused
  EXPECT_EQ(status(*slot).dropped_frames, 26u);

  const auto reopened = program_stream_open(*slot, "127.0.0.1", port_of(holder), "abc");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->dropped_frames, 0u);
  push_signal(*slot, 0, 3);
  EXPECT_EQ(status(*slot).dropped_frames, 3u);

  program_stream_close(*slot);  // frames for a closed slot are not counted
  push_signal(*slot, 0, 3);
  EXPECT_EQ(status(*slot).dropped_frames, 3u);
}

}  // namespace
}  // namespace melodara
