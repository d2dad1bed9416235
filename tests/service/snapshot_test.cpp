// Status snapshots and the audio, mixer and routing operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dispatch_fixture.h"
#include "media/player_cache.h"
#include "service/handlers.h"
#include "service/snapshots.h"

namespace melodara {
namespace {

using Snapshots = DispatchFixture;

TEST_F(Snapshots, FreshAudioStatus) {
  const Json s = ok("audio.status");
  EXPECT_EQ(s["running"], true);
  EXPECT_EQ(s["inputMode"], "native-vocal");
  EXPECT_EQ(s["engine"], "tunewerk-dsp-10-10");
  EXPECT_EQ(s["buildId"], "tunewerk-dsp-10-10");
  EXPECT_EQ(s["nativeProtocolVersion"], 2);
  EXPECT_EQ(s["audioRevision"], 1);
  EXPECT_EQ(s["sampleRate"], 48000);
  EXPECT_EQ(s["bufferSize"], 128);
  EXPECT_EQ(s.size(), 23u);
  EXPECT_EQ(s["mixer"].size(), 11u);
  EXPECT_EQ(s["dsp"].size(), 39u);
  EXPECT_EQ(s["player"].size(), 17u);
  EXPECT_EQ(to_json_text(s["mixer"]["masterGain"]), "1.0");
  EXPECT_EQ(
      to_json_text(s["busAudit"]),
      R"({"backingUplinkPeakDb":-96.0,"backingUplinkRmsDb":-96.0,"monitorCracklePct":0.15000000596046448,"monitorPeakDb":-96.0,"monitorRmsDb":-96.0,"primaryUplinkPeakDb":-96.0,"primaryUplinkRmsDb":-96.0})");
  EXPECT_EQ(
      to_json_text(s["player"]),
      R"({"channels":2,"detectedBpm":null,"detectedKey":null,"detectedKeyName":null,"durationSeconds":0.0,"loadJobId":null,"loadProgress":0,"loaded":false,"loading":false,"mediaGeneration":0,"playing":false,"positionSeconds":0.0,"sampleRate":48000,"tempoSource":null,"title":"","url":"","videoCachedPath":null})");
  EXPECT_EQ(s["dsp"]["params"], dsp_params_to_json(DspParams{}));
  EXPECT_EQ(s["telemetry"], s["dsp"]["telemetry"]);
  EXPECT_EQ(ok("audio.session.get"), s);
}

// What a fresh service reports, derived from the start values of the shared
// state (the meters are the warm-up block's, checked by the DSP tests).
const char* const kFreshDspState = R"({
  "acoustic_feedback_risk": false, "anti_howl_active": false, "audioChain": "Studio Pro",
  "backing_uplink_peak_db": -96.0, "backing_uplink_rms_db": -96.0,
  "input_device_id": "MacBook Pro Microphone", "input_muted": false, "mic_gain": 1.0,
  "monitor_crackle_pct": 0.15000000596046448, "monitor_enabled": true, "monitor_gain": 1.0,
  "monitor_peak_db": -96.0, "monitor_rms_db": -96.0, "muted": false,
  "output_device_id": "MacBook Pro Speakers", "presetId": "Pop Ballad",
  "primary_uplink_peak_db": -96.0, "primary_uplink_rms_db": -96.0, "publish_muted": false,
  "recording": {"active": false, "beatPath": "", "dryPath": "", "durationSec": 0.0, "savedPath": "",
                "sharePath": "", "vocalPath": ""},
  "reverbMode": "hall", "routingMode": "program", "routing_mode": "program",
  "stageRecording": {"active": false, "durationSec": 0.0, "savedPath": "", "sharePath": ""},
  "voiceCal": {"accumulated_voice_sec": 0.0, "active": false, "avg_f0_hz": 0.0, "avg_noise_floor_db": -58.0,
               "avg_speech_rms_db": -36.0,
               "band_energy_acc": [9.999999974752427e-7, 9.999999974752427e-7, 9.999999974752427e-7,
                                   9.999999974752427e-7, 9.999999974752427e-7, 9.999999974752427e-7],
               "band_pct": [16.600000381469727, 16.600000381469727, 16.600000381469727,
                            16.600000381469727, 16.600000381469727, 16.600000381469727],
               "completed": false, "detected_gender": "Chưa đo", "detected_timbre": "Đang chờ giọng nói...",
               "max_f0_hz": 0.0, "min_f0_hz": 999.0, "noise_frames": 0, "peak_speech_db": -60.0,
               "recommendation_summary": "Chỉ cần alo hoặc hát thử 1-2 câu ngắn (~2 giây) để AI bắt bệnh mic và cân chỉnh tự động.",
               "recommended_profile": "Default", "sibilance_ratio": 0.11999999731779099, "speaking_now": false,
               "target_voice_sec": 1.7999999523162842, "total_elapsed_sec": 0.0, "voice_frames": 0,
               "voice_gate_thresh_db": -50.0},
  "voiceProfile": "Giong Nam"
})";

const char* const kClosedStream =
    R"({"channels":2,"droppedFrames":0,"error":null,"frameSamples":960,"sampleRate":48000,"sentFrames":0,"sentPackets":0,"state":"closed"})";

// The golden record is typed in decimal; the service writes 32-bit floats widened.
void widen_floats(Json& value) {
  if (value.is_number_float()) value = static_cast<double>(static_cast<float>(value.get<double>()));
  if (value.is_structured())
    for (auto& item : value) widen_floats(item);
}

TEST_F(Snapshots, FreshAnswersComparedWhole) {
  Json golden_params;
  std::ifstream(std::string(MELODARA_SOURCE_DIR) + "/tests/dsp/data/dsp_params_default.json") >>
      golden_params;
  widen_floats(golden_params);
  DspMeters warm_up;
  with_state([&](NativeState& s) { warm_up = s.telemetry; });
  const Json meters = dsp_meters_to_json(warm_up);

  Json dsp = Json::parse(kFreshDspState);
  dsp["params"] = golden_params;
  dsp["telemetry"] = meters;
  for (const char* key : {"beat_rms_db", "comp_reduction_db", "corrected_vocal_hz", "deesser_reduction_db",
                          "detected_bpm", "detected_key_name", "detected_vocal_hz", "gate_open", "latency_ms",
                          "master_peak_db", "vocal_rms_db"})
    dsp[key] = meters[key];
  EXPECT_EQ(ok("tunewerk.dsp.get"), dsp);

  Json audio = Json::parse(R"({
    "acousticFeedbackRisk": false, "antiHowlActive": false, "audioRevision": 1, "bufferSize": 128,
    "buildId": "tunewerk-dsp-10-10",
    "busAudit": {"backingUplinkPeakDb": -96.0, "backingUplinkRmsDb": -96.0, "monitorCracklePct": 0.15000000596046448,
                 "monitorPeakDb": -96.0, "monitorRmsDb": -96.0, "primaryUplinkPeakDb": -96.0, "primaryUplinkRmsDb": -96.0},
    "engine": "tunewerk-dsp-10-10", "inputDeviceId": "MacBook Pro Microphone", "inputMode": "native-vocal",
    "inputMuted": false,
    "mixer": {"acousticFeedbackRisk": false, "antiHowlActive": false, "inputMuted": false, "masterGain": 1.0,
              "micGain": 1.0, "monitorEnabled": true, "monitorGain": 1.0, "musicGain": 0.7799999713897705,
              "muted": false, "publishMuted": false, "vocalGain": 1.0},
    "muted": false, "nativeProtocolVersion": 2, "outputDeviceId": "MacBook Pro Speakers",
    "player": {"channels": 2, "detectedBpm": null, "detectedKey": null, "detectedKeyName": null, "durationSeconds": 0.0,
               "loadJobId": null, "loadProgress": 0, "loaded": false, "loading": false, "mediaGeneration": 0,
               "playing": false, "positionSeconds": 0.0, "sampleRate": 48000, "tempoSource": null, "title": "",
               "url": "", "videoCachedPath": null},
    "publishMuted": false, "routingMode": "program", "running": true, "sampleRate": 48000
  })");
  audio["backingStream"] = Json::parse(kClosedStream);
  audio["programStream"] = Json::parse(kClosedStream);
  audio["dsp"] = dsp;
  audio["telemetry"] = meters;
  EXPECT_EQ(ok("audio.status"), audio);
  EXPECT_EQ(ok("player.status"), audio["player"]);
  EXPECT_EQ(ok("audio.program-stream.status"), Json::parse(kClosedStream));
}

TEST_F(Snapshots, DspSnapshotKeysSortByBytes) {
  const std::string text = to_json_text(ok("tunewerk.dsp.get"));
  EXPECT_LT(text.find("\"anti_howl_active\""), text.find("\"audioChain\""));
  EXPECT_LT(text.find("\"routingMode\""), text.find("\"routing_mode\""));
  EXPECT_EQ(to_json_text(ok("tunewerk.dsp.get")["stageRecording"]),
            R"({"active":false,"durationSec":0.0,"savedPath":"","sharePath":""})");
}

TEST_F(Snapshots, PlayerKeyRateAndPosition) {
  struct Case {
    std::optional<std::string> key;
    std::uint32_t rate;
    std::uint64_t position;
    const char* detected;
    std::uint32_t reported_rate;
    double seconds;
  } cases[] = {
      {"Am", 44100, 44100, R"({"confidence":0.92,"minor":true,"name":"Am"})", 48000, 1.0},
      {"A", 96000, 48000, R"({"confidence":0.92,"minor":false,"name":"A"})", 96000, 0.5},
      {std::nullopt, 0, 3, "null", 48000, 3.0},
  };
  for (const auto& c : cases) {
    with_state([&](NativeState& s) {
      s.player.detectedKey = c.key;
      s.player.mediaSampleRate = c.rate;
      s.player.position = c.position;
    });
    const Json p = ok("player.status");
    EXPECT_EQ(to_json_text(p["detectedKey"]), c.detected);
    EXPECT_EQ(p["sampleRate"], c.reported_rate);
    EXPECT_DOUBLE_EQ(p["positionSeconds"].get<double>(), c.seconds);
  }
}

TEST_F(Snapshots, CachedClipVideoMustExceed16KiB) {
  const auto home = std::filesystem::temp_directory_path() / ("melodara-snap-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  const char* old_home = std::getenv("HOME");
  const std::string saved = old_home ? old_home : "";
  setenv("HOME", home.c_str(), 1);
  const std::string source = "https://www.youtube.com/watch?v=abcdefghijk";
  const auto video = video_cache_path(source);
  ASSERT_TRUE(video.has_value());
  std::filesystem::create_directories(video->parent_path());
  with_state([&](NativeState& s) { s.player.source = source; });
  for (const std::size_t size : {16384u, 16385u}) {
    std::ofstream(*video, std::ios::binary) << std::string(size, 'v');
    const Json p = ok("player.status");
    if (size == 16384u) {
      EXPECT_TRUE(p["videoCachedPath"].is_null());
    } else {
      EXPECT_EQ(p["videoCachedPath"], video->string());
    }
  }
  setenv("HOME", saved.c_str(), 1);
  std::filesystem::remove_all(home);
}

TEST_F(Snapshots, SetMixerRules) {
  struct Case {
    Json first, second;
    float mic, monitor_gain;
    bool monitor_enabled, muted;
  } cases[] = {
      {Json{{"micGain", 3}}, nullptr, 2.0f, 1.0f, true, false},
      {Json{{"micGain", -1}}, nullptr, 0.0f, 1.0f, true, false},
      {Json{{"micGain", "x"}, {"vocalGain", 1.5}}, nullptr, 1.0f, 1.0f, true, false},
      {Json{{"vocalGain", 1.5}}, nullptr, 1.5f, 1.0f, true, false},
      {Json{{"monitorGain", 0}}, Json{{"monitorEnabled", true}}, 1.0f, 0.85f, true, false},
      {Json{{"monitorEnabled", true}, {"monitorGain", 0}}, nullptr, 1.0f, 0.0f, true, false},
      {Json{{"monitorEnabled", true}}, Json{{"monitorGain", 0}}, 1.0f, 0.0f, false, false},
      {Json{{"monitorGain", 0}}, nullptr, 1.0f, 0.0f, true, false},  // no explicit choice yet
      {Json{{"publishMuted", "yes"}, {"muted", true}}, nullptr, 1.0f, 1.0f, true, true},
      {Json{{"publishMuted", false}, {"muted", true}}, nullptr, 1.0f, 1.0f, true, false},
  };
  for (const auto& c : cases) {
    records = build_service_records();
    ok("audio.set-mixer", c.first);
    if (!c.second.is_null()) ok("audio.set-mixer", c.second);
    with_state([&](NativeState& s) {
      EXPECT_EQ(s.micGain, c.mic) << c.first;
      EXPECT_EQ(s.dsp.params.vocal_gain, c.mic) << c.first;
      EXPECT_EQ(s.monitorGain, c.monitor_gain) << c.first;
      EXPECT_EQ(s.monitorEnabled, c.monitor_enabled) << c.first;
      EXPECT_EQ(s.muted, c.muted) << c.first;
      EXPECT_EQ(s.audioRevision, c.second.is_null() ? 2u : 3u) << c.first;
    });
  }
}

TEST_F(Snapshots, ConfigureRules) {
  const Json before = ok("audio.status");
  const Json same = ok("audio.configure", Json{{"outputDeviceId", "  default "},
                                               {"inputDeviceId", std::string(64, 'a')},
                                               {"sampleRate", 48000.0}});
  EXPECT_EQ(same["audioRevision"], 1);
  EXPECT_EQ(same["outputDeviceId"], before["outputDeviceId"]);
  EXPECT_EQ(same["sampleRate"], 48000);

  const Json clamped = ok("audio.configure", Json{{"sampleRate", 22050u}, {"bufferFrames", 4096u}});
  EXPECT_EQ(clamped["sampleRate"], 44100);
  EXPECT_EQ(clamped["bufferSize"], 2048);
  EXPECT_EQ(clamped["audioRevision"], 1);

  const Json own = ok("audio.configure", Json{{"outputId", "Melodara_Virtual_Bus_48kHz"}});
  EXPECT_EQ(own["outputDeviceId"], before["outputDeviceId"]);

  const Json moved = ok("audio.configure", Json{{"output_device_id", " Studio Out "}});
  EXPECT_EQ(moved["outputDeviceId"], "Studio Out");
  EXPECT_EQ(moved["audioRevision"], 2);
  with_state([](NativeState& s) { EXPECT_EQ(s.deviceRevision, 2u); });
  EXPECT_EQ(ok("audio.configure", Json{{"outputDeviceId", "Studio Out"}})["audioRevision"], 2);

  EXPECT_EQ(ok("audio.configure", Json{{"inputMode", "raw-mic"}})["routingMode"], "raw-mic");
  const Json back = ok("audio.configure", Json{{"inputMode", "native-vocal"}});
  EXPECT_EQ(back["routingMode"], "program");
  EXPECT_EQ(back["audioRevision"], 3);  // only the raw-mic parse moved it
  EXPECT_EQ(ok("audio.configure", Json{{"routingMode", "daw"}})["inputMode"], "daw-vocal");
}

TEST_F(Snapshots, StopStartAndMute) {
  with_state([](NativeState& s) { s.player.playing = true; });
  EXPECT_EQ(ok("audio.stop")["player"]["playing"], true);
  const Json stopped = ok("audio.stop", Json{{"preservePlayer", false}});
  EXPECT_EQ(stopped["player"]["playing"], false);
  EXPECT_EQ(stopped["audioRevision"], 1);
  EXPECT_EQ(ok("audio.start")["audioRevision"], 2);
  const Json muted = ok("audio.mute", Json{{"muted", false}, {"publishMuted", true}, {"inputMuted", true}});
  EXPECT_EQ(muted["publishMuted"], true);
  EXPECT_EQ(muted["mixer"]["inputMuted"], true);
  EXPECT_EQ(muted["audioRevision"], 3);
}

TEST(RoutingMode, CanonicalTextsAndRevision) {
  const std::pair<const char*, const char*> cases[] = {
      {"vocal", "vocal"},
      {"hat-chung", "vocal"},
      {"shared-karaoke", "vocal"},
      {"shared-karaoke-vocal", "vocal"},
      {"raw", "raw-mic"},
      {"mic-goc", "raw-mic"},
      {"raw-mic", "raw-mic"},
      {"daw", "daw-vocal"},
      {"external-mix", "daw-vocal"},
      {"Vocal", "program"},
      {"native-vocal", "program"},
      {"", "program"},
  };
  NativeState state;
  std::uint64_t revision = state.audioRevision;
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(parse_routing_mode(state, in), ++revision);
    EXPECT_EQ(state.routingMode, out) << in;
  }
}

TEST_F(Snapshots, RoutingOperationAnswersTheDspSnapshot) {
  const Json d = ok("tunewerk.dsp.routing", Json{{"mode", "hat-chung"}});
  EXPECT_EQ(d["routingMode"], "vocal");
  EXPECT_EQ(d["routing_mode"], "vocal");
  EXPECT_EQ(ok("tunewerk.dsp.routing", Json{{"mode", 5}})["routingMode"], "vocal");
}

Json device_entry(const char* id, const char* kind, bool is_default, bool is_virtual = false,
                  const char* backend = "CoreAudio") {
  return {
      {"backend", backend}, {"id", id},  {"isDefault", is_default}, {"isVirtual", is_virtual}, {"kind", kind},
      {"label", id},        {"name", id}};
}

TEST(DevicesListAnswer, ForARealisticSet) {
  const DeviceSnapshot snap{{"MacBook Pro Speakers", "Scarlett 2i2 USB", "BlackHole 2ch", "AirPods Pro",
                             "Melodara_Virtual_Bus_48kHz"},
                            {"MacBook Pro Microphone", "Scarlett 2i2 USB", "BlackHole 2ch",
                             "FaceTime HD Camera", "AirPods Pro", "Melodara_Virtual_Mic_48kHz"},
                            "CoreAudio"};
  const std::string bus = "Melodara_Virtual_Bus_48kHz";
  const Json inputs = Json::array({device_entry("Scarlett 2i2 USB", "input", true),
                                   device_entry("MacBook Pro Microphone", "input", false),
                                   device_entry("AirPods Pro", "input", false),
                                   device_entry("BlackHole 2ch", "input", false, true, "Virtual / DAW 48kHz"),
                                   device_entry("FaceTime HD Camera", "input", false)});
  const Json outputs = Json::array({device_entry("Scarlett 2i2 USB", "output", true),
                                    device_entry("AirPods Pro", "output", false),
                                    device_entry("MacBook Pro Speakers", "output", false),
                                    device_entry("BlackHole 2ch", "output", false, true)});
  const Json want = {
      {"audioInputs", inputs},
      {"audioOutputs", outputs},
      {"cameras", Json::array()},
      {"defaultCamera", nullptr},
      {"defaultInput", "Scarlett 2i2 USB"},
      {"defaultOutput", "Scarlett 2i2 USB"},
      {"inputs", inputs},
      {"outputs", outputs},
      {"platform", "macos"},
      {"virtualMic",
       {{"active", true},
        {"hiddenFromOwnInput", true},
        {"id", "Melodara_Virtual_Bus_48kHz"},
        {"name", "Melodara_Virtual_Mic_48kHz"}}},
  };
  EXPECT_EQ(devices_list_json(build_device_lists(snap, std::nullopt, bus), bus), want);

  // No bus stored: an inactive virtual microphone without an id.
  const Json no_bus = devices_list_json(build_device_lists(snap, std::nullopt, std::nullopt), std::nullopt);
  EXPECT_EQ(no_bus.size(), 10u);
  EXPECT_EQ(no_bus["virtualMic"], (Json{{"active", false},
                                        {"hiddenFromOwnInput", true},
                                        {"id", nullptr},
                                        {"name", "Melodara_Virtual_Mic_48kHz"}}));
}

TEST(ProgramStreamAnswer, StatusObject) {
  EXPECT_EQ(program_stream_status_json(ProgramStreamStatus{}), (Json{{"state", "closed"},
                                                                     {"sampleRate", 48000},
                                                                     {"channels", 2},
                                                                     {"frameSamples", 960},
                                                                     {"sentPackets", 0},
                                                                     {"sentFrames", 0},
                                                                     {"droppedFrames", 0},
                                                                     {"error", nullptr}}));
  EXPECT_EQ(program_stream_status_json(ProgramStreamStatus{true, 3, 2880, 7, "refused"}),
            (Json{{"state", "active"},
                  {"sampleRate", 48000},
                  {"channels", 2},
                  {"frameSamples", 960},
                  {"sentPackets", 3},
                  {"sentFrames", 2880},
                  {"droppedFrames", 7},
                  {"error", "refused"}}));
}

}  // namespace
}  // namespace melodara
