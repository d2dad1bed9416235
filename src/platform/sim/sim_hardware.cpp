#include "platform/sim/sim_hardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>

#include "platform/sim/sim_virtual_devices.h"
#include "platform/sim/wav_io.h"

namespace melodara::sim {
namespace {

using Clock = std::chrono::steady_clock;

struct Tap {
  std::deque<float> samples;
  std::uint16_t channels = 1;
  std::size_t cap_samples = 0;
};

enum class StreamKind { input, output, capture };

struct StreamCore;

struct Device {
  DeviceId id = 0;
  DeviceSpec spec;
  bool removed = false;
  bool stalled = false;
  WavData wav;
  // Output mix: frames from mix_base on are still open to writers.
  bool mix_started = false;
  std::uint64_t mix_base = 0;
  std::deque<float> pending;
  std::deque<float> sink;
  // The sink file, set before the device is listed. Committed samples wait in
  // file_pending (under the hardware mutex) and are written under file_m
  // alone, so no stream call ever waits for the disk.
  std::unique_ptr<WavSinkFile> file;
  std::vector<float> file_pending;
  std::mutex file_m;
  std::vector<std::weak_ptr<Tap>> taps;
  std::vector<StreamCore*> writers;

  double rate_eff() const { return spec.sample_rate * (1.0 + spec.drift_ppm * 1e-6); }
};

std::string file_safe(const std::string& name) {
  std::string out;
  for (const char c : name)
    out += (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos)
               ? '_'
               : c;
  return out.empty() || out[0] == '.' ? "_" + out : out;
}

float noise_sample(std::uint64_t frame, int channel) {
  std::uint64_t x = frame * UINT64_C(0x9E3779B97F4A7C15) +
                    static_cast<std::uint64_t>(channel) * UINT64_C(0xBF58476D1CE4E5B9) + 1;
  x ^= x >> 30;
  x *= UINT64_C(0xBF58476D1CE4E5B9);
  x ^= x >> 27;
  x *= UINT64_C(0x94D049BB133111EB);
  x ^= x >> 31;
  return static_cast<float>(static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0) * 2.0 - 1.0);
}

bool carries(const SignalSource& s, int channel) {
  return s.channels.empty() || std::find(s.channels.begin(), s.channels.end(), channel) != s.channels.end();
}

}  // namespace

struct Hardware::State {
  mutable std::mutex m;
  Clocking clocking = Clocking::realtime;
  Config config;
  std::vector<std::unique_ptr<Device>> devices;  // index = id - 1, never erased
  DeviceId default_input = 0, default_output = 0, default_system_output = 0;
  std::map<std::string, std::uint64_t, std::less<>> usb_resets;
  std::function<void()> enumeration_hook;
  Clock::time_point epoch = Clock::now();
  double manual_ref = 0.0;  // 48 kHz frames since creation (manual clocking)
  std::vector<std::shared_ptr<StreamCore>> cores;
  std::size_t sink_cap_frames = 48000 * 30;
  bool virtual_devices_shown = false;

  Device* device(DeviceId id) {
    if (id == 0 || id > devices.size()) return nullptr;
    Device* d = devices[id - 1].get();
    return d->removed ? nullptr : d;
  }
  // Caller holds m.
  std::vector<DeviceId> live_ids() const {
    std::vector<DeviceId> ids;
    for (auto& d : devices)
      if (!d->removed) ids.push_back(d->id);
    return ids;
  }
  std::optional<std::string> readable_name(DeviceId id) {
    Device* d = device(id);
    if (!d || !d->spec.name_readable) return std::nullopt;
    return d->spec.name;
  }
  Device* by_name(std::string_view name) {
    for (auto& d : devices)
      if (!d->removed && d->spec.name == name) return d.get();
    return nullptr;
  }
  // Device frame index at the current time. Caller holds m.
  std::uint64_t device_now(const Device& d) const {
    double seconds = clocking == Clocking::manual
                         ? manual_ref / 48000.0
                         : std::chrono::duration<double>(Clock::now() - epoch).count();
    return static_cast<std::uint64_t>(std::llround(seconds * d.rate_eff()));
  }
  void show_provisioned_devices();
  // Caller holds m; write_sink_file(d) after releasing it.
  void commit(Device& d);
  // Appends what commit set aside to the sink file. Caller holds neither m nor
  // the device's file_m.
  void write_sink_file(Device& d);
  void mix_write(Device& d, StreamCore& s, std::uint64_t pos, std::span<const float> samples,
                 std::size_t frames, std::size_t channels);
  float source_sample(Device& d, std::uint64_t frame, int channel);
};

namespace {

struct StreamCore {
  std::shared_ptr<Hardware::State> hw;
  Device* device = nullptr;
  StreamKind kind = StreamKind::input;
  StreamConfig config;
  InputCallback in_cb;
  OutputCallback out_cb;
  StreamErrorCallback err_cb;
  std::shared_ptr<Tap> tap;
  std::vector<float> f32;
  std::vector<std::int16_t> i16;
  std::size_t frames = 0, samples = 0;

  std::mutex run_m;
  std::condition_variable cv;
  bool playing = false, stop = false, dead = false, shut = false;
  std::thread thread;

  std::uint64_t position = 0;   // device frame of the next buffer
  std::uint64_t write_pos = 0;  // output: end of what was written
  double next_due = 0.0;        // manual: 48 kHz reference time of next callback
  std::uint64_t manual_k = 0;
  double manual_start = 0.0;

  bool writes_mix() const { return kind == StreamKind::output; }

  void run_once();
  void thread_main();
  std::expected<void, PlatformError> play();
  void halt(bool join);
};

}  // namespace

float Hardware::State::source_sample(Device& d, std::uint64_t frame, int channel) {
  const SignalSource& s = d.spec.source;
  if (!carries(s, channel)) return 0.0f;
  switch (s.kind) {
    case SignalSource::Kind::silence:
    case SignalSource::Kind::output: return 0.0f;
    case SignalSource::Kind::sine: {
      const double phase = std::fmod(double(frame) * s.frequency / d.spec.sample_rate, 1.0);
      return static_cast<float>(s.level * std::sin(2.0 * std::numbers::pi * phase));
    }
    case SignalSource::Kind::noise: return static_cast<float>(s.level) * noise_sample(frame, channel);
    case SignalSource::Kind::wav: {
      if (d.wav.samples.empty()) return 0.0f;
      const std::size_t wf = d.wav.samples.size() / d.wav.channels;
      return static_cast<float>(s.level) *
             d.wav.samples[(frame % wf) * d.wav.channels + std::size_t(channel) % d.wav.channels];
    }
  }
  return 0.0f;
}

void Hardware::State::commit(Device& d) {
  const std::size_t kd = std::max<std::size_t>(d.spec.output_channels, 1);
  std::uint64_t end = d.mix_base + d.pending.size() / kd;
  for (StreamCore* w : d.writers) end = std::min(end, w->write_pos);
  if (end <= d.mix_base) return;
  const std::size_t n = static_cast<std::size_t>(end - d.mix_base) * kd;
  std::vector<float> out(d.pending.begin(), d.pending.begin() + static_cast<std::ptrdiff_t>(n));
  d.pending.erase(d.pending.begin(), d.pending.begin() + static_cast<std::ptrdiff_t>(n));
  d.mix_base = end;
  d.sink.insert(d.sink.end(), out.begin(), out.end());
  const std::size_t cap = sink_cap_frames * kd;
  if (d.sink.size() > cap)
    d.sink.erase(d.sink.begin(), d.sink.begin() + static_cast<std::ptrdiff_t>(d.sink.size() - cap));
  if (d.file) d.file_pending.insert(d.file_pending.end(), out.begin(), out.end());
  std::erase_if(d.taps, [](const std::weak_ptr<Tap>& t) { return t.expired(); });
  for (auto& weak : d.taps) {
    auto t = weak.lock();
    t->samples.insert(t->samples.end(), out.begin(), out.end());
    if (t->samples.size() > t->cap_samples)
      t->samples.erase(t->samples.begin(),
                       t->samples.begin() + static_cast<std::ptrdiff_t>(t->samples.size() - t->cap_samples));
  }
}

void Hardware::State::write_sink_file(Device& d) {
  if (!d.file) return;
  std::lock_guard file_lock(d.file_m);
  std::vector<float> out;
  {
    std::lock_guard lk(m);
    out.swap(d.file_pending);
  }
  if (!out.empty()) d.file->append(out);
}

void Hardware::State::mix_write(Device& d, StreamCore& s, std::uint64_t pos, std::span<const float> samples,
                                std::size_t frames, std::size_t channels) {
  const std::size_t kd = std::max<std::size_t>(d.spec.output_channels, 1);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::uint64_t at = pos + f;
    if (at < d.mix_base) continue;  // too late: that part already left the device
    const std::size_t idx = static_cast<std::size_t>(at - d.mix_base) * kd;
    if (d.pending.size() < idx + kd) d.pending.resize(idx + kd, 0.0f);
    for (std::size_t c = 0; c < std::min(channels, kd); ++c) d.pending[idx + c] += samples[f * channels + c];
  }
  s.write_pos = pos + frames;
  commit(d);
}

namespace {

void StreamCore::run_once() {
  const std::size_t k = config.channels;
  {
    std::unique_lock lk(hw->m);
    if (device->stalled) {
      position += frames;
      if (kind == StreamKind::output) {
        write_pos = position;
        hw->commit(*device);
        lk.unlock();
        hw->write_sink_file(*device);
      }
      return;
    }
  }
  if (kind == StreamKind::output) {
    if (config.format == SampleFormat::i16) {
      std::fill(i16.begin(), i16.end(), std::int16_t{0});
      std::get<OutputCallbackI16>(out_cb)(std::span<std::int16_t>(i16.data(), samples));
      for (std::size_t i = 0; i < samples; ++i) f32[i] = i16[i] / 32768.0f;
    } else {
      std::fill(f32.begin(), f32.end(), 0.0f);
      std::get<OutputCallbackF32>(out_cb)(std::span<float>(f32.data(), samples));
    }
    {
      std::lock_guard lk(hw->m);
      hw->mix_write(*device, *this, position, f32, frames, k);
    }
    hw->write_sink_file(*device);
  } else {
    {
      std::lock_guard lk(hw->m);
      if (tap) {
        // Whole frames of the tapped device; channels repeat when it has fewer.
        const std::size_t tk = tap->channels;
        for (std::size_t f = 0; f * k < samples; ++f) {
          const bool have = tap->samples.size() >= tk;
          for (std::size_t c = 0; c < k && f * k + c < samples; ++c)
            f32[f * k + c] = have ? tap->samples[c % tk] : 0.0f;
          if (have)
            tap->samples.erase(tap->samples.begin(), tap->samples.begin() + static_cast<std::ptrdiff_t>(tk));
        }
      } else {
        for (std::size_t i = 0; i < samples; ++i)
          f32[i] = hw->source_sample(*device, position + i / k, static_cast<int>(i % k));
      }
    }
    if (config.format == SampleFormat::i16) {
      for (std::size_t i = 0; i < samples; ++i)
        i16[i] = static_cast<std::int16_t>(std::clamp(std::lround(f32[i] * 32768.0f), -32768l, 32767l));
      std::get<InputCallbackI16>(in_cb)(std::span<const std::int16_t>(i16.data(), samples));
    } else {
      std::get<InputCallbackF32>(in_cb)(std::span<const float>(f32.data(), samples));
    }
  }
  position += frames;
}

void StreamCore::thread_main() {
  const double period_ns = double(frames) * 1e9 / device->rate_eff();
  Clock::time_point t0 = Clock::now();
  std::uint64_t k = 0;
  std::unique_lock lk(run_m);
  while (!stop) {
    const auto deadline = t0 + std::chrono::nanoseconds(std::llround(double(k + 1) * period_ns));
    if (cv.wait_until(lk, deadline, [&] { return stop; })) break;
    // Far behind (a stopped process, a debugger): pick up from now.
    if (Clock::now() - deadline > std::chrono::milliseconds(500)) {
      t0 = Clock::now();
      k = 0;
    } else {
      ++k;
    }
    lk.unlock();
    run_once();
    lk.lock();
  }
}

std::expected<void, PlatformError> StreamCore::play() {
  // Lock order everywhere: hardware, then stream.
  std::lock_guard hl(hw->m);
  std::unique_lock lk(run_m);
  if (dead || shut) return std::unexpected(PlatformError{"device is gone"});
  if (playing) return {};
  {
    if (device->removed) return std::unexpected(PlatformError{"device is gone"});
    std::uint64_t now = hw->device_now(*device);
    if (writes_mix()) {
      if (!device->mix_started) {
        device->mix_started = true;
        device->mix_base = now;
      }
      now = std::max(now, device->mix_base);
      write_pos = now;
      device->writers.push_back(this);
    }
    position = now;
    manual_start = hw->manual_ref;
    manual_k = 0;
    next_due = manual_start + double(frames) * 48000.0 / device->rate_eff();
  }
  playing = true;
  stop = false;
  if (hw->clocking == Clocking::realtime) {
    try {
      thread = std::thread([this] { thread_main(); });
    } catch (const std::system_error& e) {
      playing = false;
      return std::unexpected(PlatformError{e.what()});
    }
  }
  return {};
}

void StreamCore::halt(bool join) {
  std::thread t;
  {
    std::lock_guard lk(run_m);
    if (!playing) return;
    stop = true;
    playing = false;
    t = std::move(thread);
  }
  cv.notify_all();
  if (join && t.joinable()) t.join();
  if (!writes_mix()) return;
  {
    std::lock_guard hl(hw->m);
    std::erase(device->writers, this);
    hw->commit(*device);
  }
  hw->write_sink_file(*device);
}

struct StreamHandle final : AudioStream {
  std::shared_ptr<StreamCore> core;
  explicit StreamHandle(std::shared_ptr<StreamCore> c) : core(std::move(c)) {}
  ~StreamHandle() override;
  std::expected<void, PlatformError> play() override { return core->play(); }
  std::expected<void, PlatformError> pause() override {
    core->halt(true);
    return {};
  }
};

struct UnitHandle final : OutputUnit {
  std::shared_ptr<StreamCore> core;
  explicit UnitHandle(std::shared_ptr<StreamCore> c) : core(std::move(c)) {}
  ~UnitHandle() override;
  std::expected<void, PlatformError> start() override { return core->play(); }
  void stop() override { core->halt(true); }
};

void retire(const std::shared_ptr<StreamCore>& core) {
  {
    std::lock_guard lk(core->run_m);
    core->shut = true;
  }
  core->halt(true);
  std::lock_guard hl(core->hw->m);
  std::erase(core->hw->cores, core);
}

StreamHandle::~StreamHandle() { retire(core); }
UnitHandle::~UnitHandle() { retire(core); }

bool format_matches(const StreamConfig& c, const InputCallback& cb) {
  return (c.format == SampleFormat::f32 && std::holds_alternative<InputCallbackF32>(cb)) ||
         (c.format == SampleFormat::i16 && std::holds_alternative<InputCallbackI16>(cb));
}
bool format_matches(const StreamConfig& c, const OutputCallback& cb) {
  return (c.format == SampleFormat::f32 && std::holds_alternative<OutputCallbackF32>(cb)) ||
         (c.format == SampleFormat::i16 && std::holds_alternative<OutputCallbackI16>(cb));
}

PlatformError error(std::string text) { return PlatformError{std::move(text)}; }

// Builds a stream core; caller holds hw->m.
std::expected<std::shared_ptr<StreamCore>, PlatformError> make_core(
    const std::shared_ptr<Hardware::State>& hw, DeviceId id, StreamKind kind, const StreamConfig& config) {
  Device* d = hw->device(id);
  if (!d) return std::unexpected(error("no such device"));
  const bool output_side = kind != StreamKind::input;
  const std::uint16_t channels = output_side ? d->spec.output_channels : d->spec.input_channels;
  if (channels == 0) return std::unexpected(error("device has no such streams"));
  if (config.format == SampleFormat::other || d->spec.format == SampleFormat::other)
    return std::unexpected(error("unsupported sample format"));
  if (config.channels == 0 || config.sample_rate != d->spec.sample_rate)
    return std::unexpected(error("unsupported stream configuration"));
  auto core = std::make_shared<StreamCore>();
  core->hw = hw;
  core->device = d;
  core->kind = kind;
  core->config = config;
  core->frames = config.buffer_frames ? config.buffer_frames : d->spec.buffer_frames;
  core->samples = core->frames * config.channels + (d->spec.ragged_buffers && config.channels > 1 ? 1 : 0);
  core->f32.assign(core->samples, 0.0f);
  core->i16.assign(core->samples, 0);
  Device* tapped = nullptr;
  if (kind == StreamKind::capture)
    tapped = d;
  else if (kind == StreamKind::input && d->spec.source.kind == SignalSource::Kind::output)
    tapped = hw->by_name(d->spec.source.device);
  if (tapped && tapped->spec.output_channels > 0) {
    core->tap = std::make_shared<Tap>();
    core->tap->channels = tapped->spec.output_channels;
    core->tap->cap_samples = std::size_t(tapped->spec.sample_rate) * tapped->spec.output_channels;
    tapped->taps.push_back(core->tap);
  }
  hw->cores.push_back(core);
  return core;
}

class SimHost final : public AudioHost {
 public:
  explicit SimHost(std::shared_ptr<Hardware::State> s) : hw_(std::move(s)) {}

  std::expected<StreamConfig, PlatformError> default_input_config(DeviceId id) override {
    return config_for(id, false);
  }
  std::expected<StreamConfig, PlatformError> default_output_config(DeviceId id) override {
    return config_for(id, true);
  }
  std::expected<std::unique_ptr<AudioStream>, PlatformError> build_input_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback err) override {
    if (!format_matches(config, data))
      return std::unexpected(error("callback does not match the sample format"));
    return build(id, StreamKind::input, config, std::move(data), {}, std::move(err));
  }
  std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_stream(
      DeviceId id, const StreamConfig& config, OutputCallback data, StreamErrorCallback err) override {
    if (!format_matches(config, data))
      return std::unexpected(error("callback does not match the sample format"));
    return build(id, StreamKind::output, config, {}, std::move(data), std::move(err));
  }
  std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_capture_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback err) override {
    if (!format_matches(config, data))
      return std::unexpected(error("callback does not match the sample format"));
    return build(id, StreamKind::capture, config, std::move(data), {}, std::move(err));
  }

 private:
  std::expected<StreamConfig, PlatformError> config_for(DeviceId id, bool output) {
    std::lock_guard lk(hw_->m);
    Device* d = hw_->device(id);
    if (!d) return std::unexpected(error("no such device"));
    const std::uint16_t ch = output ? d->spec.output_channels : d->spec.input_channels;
    if (ch == 0) return std::unexpected(error("no streams in that scope"));
    return StreamConfig{d->spec.sample_rate, ch, d->spec.format, d->spec.buffer_frames};
  }
  std::expected<std::unique_ptr<AudioStream>, PlatformError> build(DeviceId id, StreamKind kind,
                                                                   const StreamConfig& config,
                                                                   InputCallback in, OutputCallback out,
                                                                   StreamErrorCallback err) {
    std::lock_guard lk(hw_->m);
    auto core = make_core(hw_, id, kind, config);
    if (!core) return std::unexpected(core.error());
    (*core)->in_cb = std::move(in);
    (*core)->out_cb = std::move(out);
    (*core)->err_cb = std::move(err);
    return std::make_unique<StreamHandle>(std::move(*core));
  }
  std::shared_ptr<Hardware::State> hw_;
};

class SimSystem final : public AudioSystem {
 public:
  explicit SimSystem(std::shared_ptr<Hardware::State> s) : hw_(std::move(s)) {}
  std::expected<std::vector<DeviceId>, PlatformError> devices() override {
    std::function<void()> hook;
    std::uint32_t delay;
    {
      std::lock_guard lk(hw_->m);
      hook = hw_->enumeration_hook;
      delay = hw_->config.enumeration_delay_ms;
    }
    if (delay) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (hook) hook();
    hw_->show_provisioned_devices();
    std::lock_guard lk(hw_->m);
    return hw_->live_ids();
  }
  std::expected<std::string, PlatformError> device_name(DeviceId id) override {
    std::lock_guard lk(hw_->m);
    if (auto name = hw_->readable_name(id)) return *name;
    return std::unexpected(error("name unavailable"));
  }
  bool has_streams(DeviceId id, AudioScope scope) override {
    std::lock_guard lk(hw_->m);
    Device* d = hw_->device(id);
    if (!d) return false;
    return (scope == AudioScope::input ? d->spec.input_channels : d->spec.output_channels) > 0;
  }
  std::expected<DeviceId, PlatformError> default_input_device() override {
    return get(&Hardware::State::default_input);
  }
  std::expected<DeviceId, PlatformError> default_output_device() override {
    return get(&Hardware::State::default_output);
  }
  std::expected<DeviceId, PlatformError> default_system_output_device() override {
    return get(&Hardware::State::default_system_output);
  }
  std::expected<void, PlatformError> set_default_input_device(DeviceId id) override {
    return set(&Hardware::State::default_input, id, false);
  }
  std::expected<void, PlatformError> set_default_output_device(DeviceId id) override {
    return set(&Hardware::State::default_output, id, true);
  }
  std::expected<void, PlatformError> set_default_system_output_device(DeviceId id) override {
    return set(&Hardware::State::default_system_output, id, true);
  }

 private:
  std::expected<DeviceId, PlatformError> get(DeviceId Hardware::State::*field) {
    std::lock_guard lk(hw_->m);
    const DeviceId id = (*hw_).*field;
    if (!hw_->device(id)) return std::unexpected(error("no default device"));
    return id;
  }
  std::expected<void, PlatformError> set(DeviceId Hardware::State::*field, DeviceId id, bool output) {
    std::lock_guard lk(hw_->m);
    Device* d = hw_->device(id);
    if (!d || (output ? d->spec.output_channels : d->spec.input_channels) == 0)
      return std::unexpected(error("device cannot be the default"));
    (*hw_).*field = id;
    return {};
  }
  std::shared_ptr<Hardware::State> hw_;
};

class SimUnits final : public OutputUnitHost {
 public:
  explicit SimUnits(std::shared_ptr<Hardware::State> s) : hw_(std::move(s)) {}
  std::expected<StreamConfig, PlatformError> device_format(DeviceId id) override {
    std::lock_guard lk(hw_->m);
    Device* d = hw_->device(id);
    if (!d || d->spec.output_channels == 0) return std::unexpected(error("not an output device"));
    return StreamConfig{d->spec.sample_rate, d->spec.output_channels, d->spec.format, d->spec.buffer_frames};
  }
  std::expected<std::unique_ptr<OutputUnit>, PlatformError> open_output_unit(DeviceId id,
                                                                             OutputCallback render) override {
    auto fmt = device_format(id);
    if (!fmt) return std::unexpected(fmt.error());
    if (!format_matches(*fmt, render))
      return std::unexpected(error("render callback does not match the format"));
    std::lock_guard lk(hw_->m);
    auto core = make_core(hw_, id, StreamKind::output, *fmt);
    if (!core) return std::unexpected(core.error());
    (*core)->out_cb = std::move(render);
    return std::make_unique<UnitHandle>(std::move(*core));
  }

 private:
  std::shared_ptr<Hardware::State> hw_;
};

constexpr std::uint64_t kUsbDeviceBase = 0x10000;
constexpr std::uint64_t kUsbExtraBase = 0x20000;

class SimUsb final : public UsbRegistry {
 public:
  explicit SimUsb(std::shared_ptr<Hardware::State> s) : hw_(std::move(s)) {}
  std::expected<std::vector<UsbRegistryEntry>, PlatformError> matching_services(
      std::string_view class_name) override {
    std::vector<UsbRegistryEntry> out;
    if (class_name != "IOUSBHostDevice") return out;
    std::lock_guard lk(hw_->m);
    for (std::size_t i = 0; i < hw_->config.usb_registry.size(); ++i)
      out.push_back({kUsbExtraBase + i, hw_->config.usb_registry[i]});
    for (auto& d : hw_->devices)
      if (!d->removed && d->spec.transport == Transport::usb)
        out.push_back({kUsbDeviceBase + d->id, d->spec.usb_name.value_or(d->spec.name)});
    return out;
  }
  std::expected<void, PlatformError> reset_device(std::uint64_t service) override {
    std::lock_guard lk(hw_->m);
    std::string name;
    if (service >= kUsbExtraBase && service - kUsbExtraBase < hw_->config.usb_registry.size()) {
      name = hw_->config.usb_registry[service - kUsbExtraBase];
    } else if (service > kUsbDeviceBase && service < kUsbExtraBase) {
      Device* d = hw_->device(static_cast<DeviceId>(service - kUsbDeviceBase));
      if (!d || d->spec.transport != Transport::usb) return std::unexpected(error("no such USB device"));
      name = d->spec.usb_name.value_or(d->spec.name);
    } else {
      return std::unexpected(error("no such USB device"));
    }
    ++hw_->usb_resets[name];
    for (auto& d : hw_->devices)
      if (d->spec.transport == Transport::usb && d->spec.usb_name.value_or(d->spec.name) == name)
        d->stalled = false;
    return {};
  }

 private:
  std::shared_ptr<Hardware::State> hw_;
};

void open_sink_file(Hardware::State& s, Device& d) {
  if (!s.config.sink_dir || d.spec.output_channels == 0) return;
  auto f = std::make_unique<WavSinkFile>();
  if (f->open(*s.config.sink_dir + "/" + file_safe(d.spec.name) + ".wav", d.spec.sample_rate,
              d.spec.output_channels))
    d.file = std::move(f);
}

}  // namespace

Hardware::Hardware(std::shared_ptr<State> state) : state_(std::move(state)) {}
Hardware::~Hardware() = default;

std::shared_ptr<Hardware> Hardware::create(Config config, Clocking clocking) {
  auto s = std::make_shared<State>();
  s->clocking = clocking;
  s->config = std::move(config);
  auto hw = std::shared_ptr<Hardware>(new Hardware(s));
  for (const auto& spec : s->config.devices) hw->add_device(spec);
  std::lock_guard lk(s->m);
  auto pick = [&](const std::optional<std::string>& name, bool output) -> DeviceId {
    for (auto& d : s->devices) {
      const bool fits = output ? d->spec.output_channels > 0 : d->spec.input_channels > 0;
      if (fits && (!name || d->spec.name == *name)) return d->id;
    }
    return 0;
  };
  s->default_input = pick(s->config.default_input, false);
  s->default_output = pick(s->config.default_output, true);
  s->default_system_output =
      s->config.default_system_output ? pick(s->config.default_system_output, true) : s->default_output;
  return hw;
}

Platform Hardware::platform() {
  return Platform{std::make_shared<SimHost>(state_), std::make_shared<SimSystem>(state_),
                  std::make_shared<SimUnits>(state_), std::make_shared<SimUsb>(state_), state_->config.root};
}

std::optional<DeviceId> Hardware::find(std::string_view name) const {
  std::lock_guard lk(state_->m);
  Device* d = state_->by_name(name);
  return d ? std::optional<DeviceId>(d->id) : std::nullopt;
}

namespace {

std::unique_ptr<Device> new_device(DeviceSpec spec) {
  auto d = std::make_unique<Device>();
  if (spec.source.kind == SignalSource::Kind::wav) {
    if (auto w = read_wav(spec.source.path)) d->wav = std::move(*w);
  }
  d->spec = std::move(spec);
  return d;
}

// Caller holds s.m.
DeviceId insert_device(Hardware::State& s, std::unique_ptr<Device> d) {
  d->id = static_cast<DeviceId>(s.devices.size() + 1);
  open_sink_file(s, *d);
  s.devices.push_back(std::move(d));
  return s.devices.back()->id;
}

}  // namespace

// The file test runs without the lock; devices of those names that are there already stay.
void Hardware::State::show_provisioned_devices() {
  std::string root;
  {
    std::lock_guard lk(m);
    if (virtual_devices_shown) return;
    root = config.root;
  }
  if (!virtual_devices_provisioned(root)) return;
  std::lock_guard lk(m);
  if (virtual_devices_shown) return;
  virtual_devices_shown = true;
  for (DeviceSpec& spec : provisioned_virtual_devices())
    if (!by_name(spec.name)) insert_device(*this, new_device(std::move(spec)));
}

DeviceId Hardware::add_device(DeviceSpec spec) {
  auto d = new_device(std::move(spec));
  std::lock_guard lk(state_->m);
  return insert_device(*state_, std::move(d));
}

void Hardware::remove_device(DeviceId id) {
  std::vector<std::shared_ptr<StreamCore>> hit;
  {
    std::lock_guard lk(state_->m);
    Device* d = state_->device(id);
    if (!d) return;
    d->removed = true;
    for (auto& c : state_->cores)
      if (c->device == d) hit.push_back(c);
  }
  for (auto& c : hit) {
    bool was_playing;
    {
      std::lock_guard lk(c->run_m);
      c->dead = true;
      was_playing = c->playing;
    }
    c->halt(true);
    if (was_playing && c->err_cb) c->err_cb(PlatformError{"device removed"});
  }
}

void Hardware::set_source(DeviceId id, SignalSource source) {
  WavData wav;
  if (source.kind == SignalSource::Kind::wav) {
    if (auto w = read_wav(source.path)) wav = std::move(*w);
  }
  std::lock_guard lk(state_->m);
  if (Device* d = state_->device(id)) {
    d->spec.source = std::move(source);
    d->wav = std::move(wav);
  }
}

void Hardware::set_stalled(DeviceId id, bool stalled) {
  std::lock_guard lk(state_->m);
  if (Device* d = state_->device(id)) d->stalled = stalled;
}

void Hardware::set_enumeration_hook(std::function<void()> hook) {
  std::lock_guard lk(state_->m);
  state_->enumeration_hook = std::move(hook);
}

void Hardware::advance(std::uint64_t frames) {
  if (state_->clocking != Clocking::manual) return;
  double target;
  {
    std::lock_guard lk(state_->m);
    target = state_->manual_ref + double(frames);
  }
  for (;;) {
    std::shared_ptr<StreamCore> next;
    {
      std::lock_guard lk(state_->m);
      for (auto& c : state_->cores) {
        std::lock_guard rl(c->run_m);
        if (!c->playing || c->next_due > target + 1e-6) continue;
        // Captures run before playback at the same instant.
        if (!next || c->next_due < next->next_due - 1e-9 ||
            (std::abs(c->next_due - next->next_due) <= 1e-9 && c->kind != StreamKind::output &&
             next->kind == StreamKind::output))
          next = c;
      }
      if (!next) {
        state_->manual_ref = target;
        return;
      }
      state_->manual_ref = std::max(state_->manual_ref, next->next_due);
    }
    next->run_once();
    std::lock_guard rl(next->run_m);
    ++next->manual_k;
    next->next_due = next->manual_start +
                     double(next->manual_k + 1) * double(next->frames) * 48000.0 / next->device->rate_eff();
  }
}

std::vector<float> Hardware::sink(DeviceId id) const {
  std::lock_guard lk(state_->m);
  if (id == 0 || id > state_->devices.size()) return {};
  const auto& s = state_->devices[id - 1]->sink;
  return std::vector<float>(s.begin(), s.end());
}

void Hardware::clear_sink(DeviceId id) {
  std::lock_guard lk(state_->m);
  if (id == 0 || id > state_->devices.size()) return;
  state_->devices[id - 1]->sink.clear();
}

std::uint64_t Hardware::usb_resets(std::string_view registry_name) const {
  std::lock_guard lk(state_->m);
  auto it = state_->usb_resets.find(registry_name);
  return it == state_->usb_resets.end() ? 0 : it->second;
}

std::size_t Hardware::running_streams() const {
  std::lock_guard lk(state_->m);
  std::size_t n = 0;
  for (auto& c : state_->cores) {
    std::lock_guard rl(c->run_m);
    n += c->playing;
  }
  return n;
}

}  // namespace melodara::sim
