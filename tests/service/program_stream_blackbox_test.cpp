// The program streams of the built service on the simulated hardware, as the
// host's receiver sees them: a TCP listener of the test's own on 127.0.0.1
// reads the "MLDP" handshake and the "MLDF" packets the engine's frames make.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/json_writer.h"
#include "service_process.h"

namespace melodara {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ServiceProcess;

struct Packet {
  std::uint64_t sequence = 0;
  std::uint64_t stamp = 0;
  std::uint32_t frames = 0;
  std::vector<float> samples;  // interleaved L, R
  Clock::time_point at;

  float peak(int channel) const {
    float p = 0.0f;
    for (std::size_t i = std::size_t(channel); i < samples.size(); i += 2)
      p = std::max(p, std::fabs(samples[i]));
    return p;
  }
};

struct Connection {
  bool handshake = false;
  std::uint16_t version = 0;
  std::string token;
  std::vector<Packet> packets;
  bool ended = false;   // the service closed it
  std::string problem;  // the first malformed byte sequence, if any
  std::string buffer;   // bytes not parsed yet
};

std::uint16_t u16(const char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;  // the test host is little-endian, as the wire is
}
std::uint32_t u32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint64_t u64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Parses what has arrived; a malformed header stops the connection's parsing.
void parse(Connection& c) {
  while (c.problem.empty()) {
    const std::string& b = c.buffer;
    if (!c.handshake) {
      if (b.size() < 8) return;
      if (b.compare(0, 4, "MLDP") != 0) {
        c.problem = "handshake magic";
        return;
      }
      const std::size_t len = u16(b.data() + 6);
      if (b.size() < 8 + len) return;
      c.version = u16(b.data() + 4);
      c.token = b.substr(8, len);
      c.handshake = true;
      c.buffer.erase(0, 8 + len);
      continue;
    }
    if (b.size() < 32) return;
    if (b.compare(0, 4, "MLDF") != 0 || u16(b.data() + 4) != 1 || u16(b.data() + 6) != 2 ||
        u32(b.data() + 8) != 48000) {
      c.problem = "packet header";
      return;
    }
    const std::uint32_t n = u32(b.data() + 12);
    if (n < 1 || n > 960) {
      c.problem = "frame count " + std::to_string(n);
      return;
    }
    if (b.size() < 32 + 8 * std::size_t(n)) return;
    Packet p;
    p.sequence = u64(b.data() + 16);
    p.stamp = u64(b.data() + 24);
    p.frames = n;
    p.samples.resize(2 * std::size_t(n));
    std::memcpy(p.samples.data(), b.data() + 32, 8 * std::size_t(n));
    p.at = Clock::now();
    c.packets.push_back(std::move(p));
    c.buffer.erase(0, 32 + 8 * std::size_t(n));
  }
}

// A receiver on 127.0.0.1 that accepts and reads on its own thread.
class Receiver {
 public:
  explicit Receiver(std::uint16_t port = 0) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0) {
      ADD_FAILURE() << "listen on port " << port << ": " << std::strerror(errno);
      return;
    }
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Receiver() { stop(); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  std::uint16_t port() const { return port_; }

  // Closes the listener and every connection.
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }

  // Waits until `ready` holds for the connections so far.
  bool wait_for(const std::function<bool(const std::vector<Connection>&)>& ready,
                std::chrono::milliseconds timeout = 5s) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      {
        std::lock_guard lock(mutex_);
        if (ready(connections_)) return true;
      }
      std::this_thread::sleep_for(2ms);
    }
    std::lock_guard lock(mutex_);
    return ready(connections_);
  }

  template <class F>
  auto with(F f) {
    std::lock_guard lock(mutex_);
    return f(std::as_const(connections_));
  }

 private:
  void run() {
    std::vector<char> chunk(1 << 16);
    while (!stop_) {
      std::vector<pollfd> polls{{listener_, POLLIN, 0}};
      for (int fd : fds_) polls.push_back({fd, POLLIN, 0});
      if (::poll(polls.data(), polls.size(), 10) <= 0) continue;
      if (polls[0].revents & POLLIN) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard lock(mutex_);
          fds_.push_back(fd);
          conn_of_.push_back(connections_.size());
          connections_.emplace_back();
        }
      }
      for (std::size_t i = 1; i < polls.size(); ++i) {
        if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(polls[i].fd, chunk.data(), chunk.size(), 0);
        std::lock_guard lock(mutex_);
        Connection& c = connections_[conn_of_[i - 1]];
        if (n <= 0) {
          c.ended = true;
          continue;
        }
        c.buffer.append(chunk.data(), std::size_t(n));
        parse(c);
      }
      // Drop ended connections from the poll set.
      std::lock_guard lock(mutex_);
      for (std::size_t i = fds_.size(); i-- > 0;)
        if (connections_[conn_of_[i]].ended) {
          ::close(fds_[i]);
          fds_.erase(fds_.begin() + std::ptrdiff_t(i));
          conn_of_.erase(conn_of_.begin() + std::ptrdiff_t(i));
        }
    }
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> fds_;  // reader thread only, until stop
  std::vector<std::size_t> conn_of_;
  std::mutex mutex_;
  std::vector<Connection> connections_;
};

std::size_t frames_in(const Connection& c) {
  std::size_t n = 0;
  for (const auto& p : c.packets) n += p.frames;
  return n;
}

// Sequence numbers of one connection count up by one from its first packet.
void expect_contiguous(const Connection& c, const std::string& what) {
  for (std::size_t i = 1; i < c.packets.size(); ++i)
    ASSERT_EQ(c.packets[i].sequence, c.packets[i - 1].sequence + 1) << what << " at packet " << i;
}

class ProgramStreamService : public ::testing::Test {
 protected:
  ProgramStreamService()
      : service_({.env = {{"MELODARA_SIM_DEVICES",
                           std::string(MELODARA_SOURCE_DIR) + "/tests/platform/data/studio_devices.json"}},
                  .path_dirs = {}}) {}

  Json ask(const std::string& operation, const Json& payload = Json::object()) {
    Json request = {{"protocolVersion", 2},
                    {"requestId", "r" + std::to_string(++requests_)},
                    {"operation", operation},
                    {"payload", payload}};
    const auto line = service_.ask(request.dump());
    EXPECT_TRUE(line.has_value()) << operation;
    Json answer = Json::parse(line.value_or("{}"));
    EXPECT_EQ(answer.value("ok", false), true) << *line;
    return answer.value("result", Json::object());
  }

  Json open(const char* operation, const Receiver& r, const std::string& token, const char* role = nullptr) {
    Json payload = {{"host", "127.0.0.1"}, {"port", r.port()}, {"token", token}};
    if (role) payload["role"] = role;
    return ask(operation, payload);
  }

  std::uint64_t revision() { return ask("audio.status")["audioRevision"].get<std::uint64_t>(); }

  ServiceProcess service_;
  int requests_ = 0;
};

// Whether the last connection has packets stamped at least `stamp`, `frames` of them.
auto frames_stamped_from(std::uint64_t stamp, std::size_t frames) {
  return [=](const std::vector<Connection>& cs) {
    if (cs.empty()) return false;
    std::size_t n = 0;
    for (const auto& p : cs.back().packets)
      if (p.stamp >= stamp) n += p.frames;
    return n >= frames;
  };
}

TEST_F(ProgramStreamService, HandshakeThenContiguousPacketsStampedWithTheAudioRevision) {
  Receiver rx;
  const Json opened = open("audio.program-stream.open", rx, "host-token-7");
  EXPECT_EQ(opened["state"], "active");
  const std::uint64_t first = revision();
  ASSERT_TRUE(rx.wait_for(frames_stamped_from(first, 4800)));

  const Json mixer = ask("audio.set-mixer", {{"masterGain", 0.5}});
  const std::uint64_t second = mixer["audioRevision"].get<std::uint64_t>();
  EXPECT_GT(second, first);
  ASSERT_TRUE(rx.wait_for(frames_stamped_from(second, 4800)));
  const std::uint64_t third =
      ask("audio.mute", {{"inputMuted", false}})["audioRevision"].get<std::uint64_t>();
  EXPECT_EQ(third, second + 1);
  ASSERT_TRUE(rx.wait_for(frames_stamped_from(third, 4800)));

  rx.with([&](const std::vector<Connection>& cs) {
    ASSERT_EQ(cs.size(), 1u);
    const Connection& c = cs[0];
    EXPECT_TRUE(c.problem.empty()) << c.problem;
    EXPECT_EQ(c.version, 1);
    EXPECT_EQ(c.token, "host-token-7");
    ASSERT_FALSE(c.packets.empty());
    EXPECT_EQ(c.packets[0].sequence, 0u);
    expect_contiguous(c, "primary");
    // Stamps never go back, and are only the revisions the service answered.
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
      const std::uint64_t s = c.packets[i].stamp;
      EXPECT_TRUE(s == first || s == second || s == third) << s << " at packet " << i;
      if (i > 0) {
        ASSERT_GE(s, c.packets[i - 1].stamp) << i;
      }
    }
  });
  // The service counts a packet right after writing it, so its count can only
  // trail what the receiver holds: read the receiver first, then ask until the
  // count has caught up.
  const std::size_t received = rx.with([](const auto& cs) { return cs[0].packets.size(); });
  std::uint64_t sent = 0;
  for (const auto end = Clock::now() + 10s; sent < received && Clock::now() < end;) {
    sent = ask("audio.program-stream.status")["sentPackets"].get<std::uint64_t>();
    if (sent < received) std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(sent, received);
}

// The rate of a stream over its steady stretches.
struct RateFit {
  double frames_per_second = 0.0;
  double seconds = 0.0;  // the time the fitted stretches span
};

// Least-squares slope of the frames received against their arrival time, with
// an intercept of its own for each steady stretch. A machine too busy to run the
// engine for 80 ms makes it restart its block clock and skip the frames it
// missed, as it must; so the packets after `from` are cut into stretches at
// arrival gaps of 60 ms or more, and the first 2 s of each, while the engine
// refills the monitor ring, are left out.
RateFit steady_rate(const std::vector<Packet>& packets, Clock::time_point from) {
  struct Stretch {
    Clock::time_point begin;
    double n = 0, t = 0, f = 0, tt = 0, tf = 0, first = 0, last = 0;
  };
  std::vector<Stretch> stretches;
  Clock::time_point previous{};
  double total = 0;
  for (const Packet& p : packets) {
    total += p.frames;
    if (p.at < from) continue;
    if (stretches.empty() || p.at - previous >= 60ms) stretches.push_back({.begin = p.at});
    previous = p.at;
    Stretch& s = stretches.back();
    const double t = std::chrono::duration<double>(p.at - s.begin).count();
    if (t < 2.0) continue;
    if (s.n == 0) s.first = t;
    s.last = t;
    s.n += 1;
    s.t += t;
    s.f += total;
    s.tt += t * t;
    s.tf += t * total;
  }
  double sxy = 0, sxx = 0;
  RateFit fit;
  for (const Stretch& s : stretches) {
    if (s.n < 2) continue;
    sxy += s.tf - s.t * s.f / s.n;
    sxx += s.tt - s.t * s.t / s.n;
    fit.seconds += s.last - s.first;
  }
  if (sxx > 0) fit.frames_per_second = sxy / sxx;
  return fit;
}

TEST_F(ProgramStreamService, Streams48000FramesASecond) {
  Receiver rx;
  open("audio.program-stream.open", rx, "rate");
  ASSERT_TRUE(rx.wait_for([](const auto& cs) { return !cs.empty() && frames_in(cs[0]) >= 48000; }));
  const auto start = Clock::now();
  const auto fit = [&] {
    return rx.with([&](const std::vector<Connection>& cs) { return steady_rate(cs[0].packets, start); });
  };
  // 20 s of steady streaming: longer when a busy machine cuts into it.
  std::this_thread::sleep_for(20s);
  while (fit().seconds < 16.0 && Clock::now() - start < 60s) std::this_thread::sleep_for(1s);
  rx.stop();
  rx.with([&](const std::vector<Connection>& cs) {
    ASSERT_EQ(cs.size(), 1u);
    const Connection& c = cs[0];
    EXPECT_TRUE(c.problem.empty()) << c.problem;
    expect_contiguous(c, "rate");
    // Packet jitter of a few ms averages out over the stretches.
    const RateFit rate = steady_rate(c.packets, start);
    ASSERT_GE(rate.seconds, 16.0);
    EXPECT_NEAR(rate.frames_per_second, 48000.0, 48000.0 * 0.002);
    RecordProperty("frames_per_second", std::to_string(rate.frames_per_second));
  });
}

TEST_F(ProgramStreamService, PublishMuteSilencesThePrimarySlotOnlyAndTheBackingSlotGoesOn) {
  Receiver primary, backing;
  open("audio.program-stream.open", primary, "p");
  const Json b = open("audio.publish-output.open", backing, "b", "backing");
  EXPECT_EQ(b["state"], "active");
  EXPECT_EQ(ask("audio.status")["backingStream"]["state"], "active");
  const std::uint64_t live = revision();
  ASSERT_TRUE(primary.wait_for(frames_stamped_from(live, 9600)));
  ASSERT_TRUE(backing.wait_for(frames_stamped_from(live, 9600)));

  const std::uint64_t muted =
      ask("audio.mute", {{"publishMuted", true}})["audioRevision"].get<std::uint64_t>();
  ASSERT_TRUE(primary.wait_for(frames_stamped_from(muted, 9600)));
  ASSERT_TRUE(backing.wait_for(frames_stamped_from(muted, 9600)));
  const std::uint64_t unmuted =
      ask("audio.set-mixer", {{"publishMuted", false}})["audioRevision"].get<std::uint64_t>();
  ASSERT_TRUE(primary.wait_for(frames_stamped_from(unmuted, 9600)));
  ASSERT_TRUE(backing.wait_for(frames_stamped_from(unmuted, 9600)));

  // Peaks of the frames of each phase (a packet's stamp is its first frame's:
  // only packets fully inside a phase count).
  struct Phase {
    float peak = 0.0f;
    std::size_t frames = 0;
  };
  auto phases = [&](Receiver& r) {
    return r.with([&](const std::vector<Connection>& cs) {
      std::array<Phase, 3> out{};
      EXPECT_EQ(cs.size(), 1u);
      const Connection& c = cs.back();
      EXPECT_TRUE(c.problem.empty()) << c.problem;
      expect_contiguous(c, "slot");
      for (std::size_t i = 0; i + 1 < c.packets.size(); ++i) {
        const Packet& p = c.packets[i];
        if (c.packets[i + 1].stamp != p.stamp) continue;
        const std::array<std::uint64_t, 3> stamps = {live, muted, unmuted};
        const auto phase = std::ranges::find(stamps, p.stamp);
        if (phase == stamps.end()) continue;
        const auto k = static_cast<std::size_t>(phase - stamps.begin());
        out[k].peak = std::max({out[k].peak, p.peak(0), p.peak(1)});
        out[k].frames += p.frames;
      }
      return out;
    });
  };
  const auto pri = phases(primary);
  const auto bak = phases(backing);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_GT(pri[k].frames, 4800u) << k;
    EXPECT_GT(bak[k].frames, 4800u) << k;
  }
  EXPECT_GT(pri[0].peak, 0.001f);  // the microphone through the chain
  EXPECT_EQ(pri[1].peak, 0.0f);    // muted: exact silence
  EXPECT_GT(pri[2].peak, 0.001f);
  // The backing slot carries the backing track alone (none loaded): never the voice.
  for (std::size_t k = 0; k < 3; ++k) EXPECT_LT(bak[k].peak, 1e-4f) << k;
}

TEST_F(ProgramStreamService, ReconnectsAfterTheListenerRestartsAndContinuesTheSequence) {
  auto rx = std::make_unique<Receiver>();
  const std::uint16_t port = rx->port();
  open("audio.program-stream.open", *rx, "again");
  ASSERT_TRUE(rx->wait_for([](const auto& cs) { return !cs.empty() && cs[0].packets.size() >= 10; }));
  rx->stop();
  const std::uint64_t last_seen = rx->with([](const auto& cs) { return cs[0].packets.back().sequence; });
  rx.reset();
  std::this_thread::sleep_for(300ms);  // the service fails to write and to reconnect meanwhile

  Receiver back(port);
  ASSERT_TRUE(back.wait_for([](const auto& cs) { return !cs.empty() && cs.back().packets.size() >= 10; }));
  const Json status = ask("audio.program-stream.status");
  EXPECT_EQ(status["state"], "active");
  back.with([&](const std::vector<Connection>& cs) {
    const Connection& c = cs.back();
    EXPECT_TRUE(c.problem.empty()) << c.problem;
    EXPECT_EQ(c.token, "again");  // a new handshake
    EXPECT_GT(c.packets[0].sequence, last_seen);
    EXPECT_LT(c.packets[0].sequence, status["sentPackets"].get<std::uint64_t>());
    expect_contiguous(c, "after reconnect");
  });
}

TEST_F(ProgramStreamService, CloseThenOpenStartsTheSequenceAtZero) {
  Receiver rx;
  open("audio.program-stream.open", rx, "one");
  ASSERT_TRUE(rx.wait_for([](const auto& cs) { return !cs.empty() && cs[0].packets.size() >= 10; }));
  const Json closed = ask("audio.program-stream.close");
  EXPECT_EQ(closed["state"], "closed");
  ASSERT_TRUE(rx.wait_for([](const auto& cs) { return cs[0].ended; }));  // the service hangs up
  const std::size_t at_close = rx.with([](const auto& cs) { return cs[0].packets.size(); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rx.with([](const auto& cs) { return cs.size(); }), 1u);  // no reconnect while closed

  open("audio.program-stream.open", rx, "two");
  ASSERT_TRUE(rx.wait_for([](const auto& cs) { return cs.size() == 2 && cs[1].packets.size() >= 10; }));
  rx.with([&](const std::vector<Connection>& cs) {
    EXPECT_EQ(cs[0].packets.size(), at_close);
    expect_contiguous(cs[0], "first");
    EXPECT_GE(cs[0].packets.back().sequence, 9u);
    const Connection& c = cs[1];
    EXPECT_TRUE(c.problem.empty()) << c.problem;
    EXPECT_EQ(c.token, "two");
    EXPECT_EQ(c.packets[0].sequence, 0u);
    expect_contiguous(c, "second");
  });
}

}  // namespace
}  // namespace melodara
