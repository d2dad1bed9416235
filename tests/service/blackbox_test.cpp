// Drives the built service over stdin/stdout as the host does.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/json_writer.h"
#include "service/protocol.h"
#include "service_process.h"
#include "stand_in_tools.h"

namespace melodara {
namespace {

using testing::ServiceProcess;

const std::string kHandshake = R"({"protocolVersion":2,"requestId":"hs","operation":"system.handshake"})";

// The host's list, written out: the binary must announce exactly these, in this order.
const std::string kSupportedOperations =
    R"(["system.handshake","player.remote-load","player.load-status","player.load-cancel",)"
    R"("player.search-youtube","player.search-bilibili","player.resolve-source","player.resolve-video",)"
    R"("player.play","player.pause","player.seek","player.recalculate-key","player.status","player.unload",)"
    R"("devices.list","audio.configure","audio.start","audio.stop","audio.status","audio.session.get",)"
    R"("audio.program-stream.open","audio.program-stream.close","audio.program-stream.status",)"
    R"("audio.publish-output.open","audio.publish-output.close","audio.publish-output.status",)"
    R"("audio.set-mixer","audio.mute","audio.soundboard.trigger","audio.soundboard.stop",)"
    R"("tunewerk.dsp.get","tunewerk.dsp.set","tunewerk.dsp.preset","tunewerk.dsp.reverb-mode",)"
    R"("tunewerk.dsp.audio-chain","tunewerk.dsp.voice-profile","tunewerk.dsp.routing",)"
    R"("tunewerk.dsp.telemetry","tunewerk.voice-cal.start","tunewerk.voice-cal.status",)"
    R"("tunewerk.voice-cal.finish","tunewerk.voice-cal.cancel","tunewerk.record.start",)"
    R"("tunewerk.record.stop","tunewerk.record.status"])";

std::string handshake_answer(const std::string& id) {
  return R"({"protocolVersion":2,"sessionEpoch":1,"requestId":")" + id +
         R"(","ok":true,"result":{"buildId":"tunewerk-dsp-10-10","capabilities":["audio","devices","camera","player"],"nativeProtocolVersion":2,"protocolVersion":2,"sessionEpoch":1,"supportedOperations":)" +
         kSupportedOperations + "}}";
}

std::string malformed_answer(const std::string& message) {
  return R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"","ok":false,"error":{"code":"invalid_request","message":"Malformed JSON request: )" +
         message + R"(","retryable":false}})";
}

TEST(Service, AnswersHandshakeAndMalformedLinesExactly) {
  ServiceProcess service;
  EXPECT_EQ(service.ask(kHandshake), handshake_answer("hs"));
  EXPECT_EQ(service.ask(R"({"protocolVersion":2,"requestId":"a"})"),
            malformed_answer("missing field `operation` at line 1 column 37"));
  // A readable requestId in a line that fails is not echoed.
  EXPECT_EQ(service.ask(R"({"protocolVersion":"2","requestId":"keep","operation":"x"})"),
            malformed_answer("invalid type: string \\\"2\\\", expected u32 at line 1 column 22"));
  EXPECT_EQ(
      service.ask(R"({"protocolVersion":2,"requestId":"u","operation":"Player.play"})"),
      R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"u","ok":false,"error":{"code":"unsupported_operation","message":"Unsupported native operation: Player.play","retryable":false}})");
  service.close_stdin();
  EXPECT_EQ(service.wait_exit(), 0);
}

TEST(Service, LineHandling) {
  ServiceProcess service;
  // Blank and mark-only lines get no answer: the next answer is the handshake's.
  service.write_raw("\n   \n\xEF\xBB\xBF\xEF\xBB\xBF\n\t\r\n");
  EXPECT_EQ(service.ask(kHandshake), handshake_answer("hs"));
  // CRLF line ends and a leading mark.
  service.write_raw("\xEF\xBB\xBF" + kHandshake + "\r\n");
  EXPECT_EQ(service.read_line(), handshake_answer("hs"));
  // Invalid UTF-8 becomes U+FFFD and is malformed.
  service.write_raw("\xFF\xFE\n");
  EXPECT_EQ(service.read_line(), malformed_answer("expected value at line 1 column 1"));
  // A mark after other text stays and makes the line malformed.
  EXPECT_EQ(service.ask(kHandshake + "\xEF\xBB\xBF"),
            malformed_answer("trailing characters at line 1 column 70"));
  // A last line without a line feed is still answered.
  service.write_raw(R"({"protocolVersion":2,"requestId":"last","operation":"system.handshake"})");
  service.close_stdin();
  EXPECT_EQ(service.read_line(), handshake_answer("last"));
  EXPECT_EQ(service.read_line(std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_EQ(service.wait_exit(), 0);
}

TEST(Service, MultiMegabyteLines) {
  ServiceProcess service;
  const std::string big =
      R"({"protocolVersion":2,"requestId":"big","operation":"system.handshake","payload":")" +
      std::string(3'000'000, 'x') + "\"}";
  EXPECT_EQ(
      service.ask(big),
      R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"big","ok":false,"error":{"code":"invalid_request","message":"payload exceeds the request limit","retryable":false}})");
  EXPECT_EQ(service.ask(std::string(3'000'000, '[')),
            malformed_answer("invalid type: sequence, expected u32 at line 1 column 1"));
  const std::string deep =
      R"({"protocolVersion":2,"requestId":"d","operation":"x","payload":)" + std::string(3'000'000, '[');
  EXPECT_EQ(service.ask(deep), malformed_answer("recursion limit exceeded at line 1 column 190"));
  EXPECT_EQ(service.ask(kHandshake), handshake_answer("hs"));
  service.close_stdin();
  EXPECT_EQ(service.wait_exit(), 0);
}

TEST(Service, WorkerOperationsAnswerFromTheirOwnThread) {
  ServiceProcess service;
  // A query too short to search and a load without a source: answered by their
  // workers without running a tool.
  service.write_line(
      R"({"protocolVersion":2,"requestId":"w1","operation":"player.search-youtube","payload":{"query":"a"}})");
  service.write_line(R"({"protocolVersion":2,"requestId":"w2","operation":"player.remote-load"})");
  std::set<std::string> answers;
  for (int i = 0; i < 2; ++i) answers.insert(service.read_line().value_or("none"));
  const std::string too_short =
      R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"w1","ok":false,"error":{"code":"invalid_request","message":"Từ khóa cần ít nhất 2 ký tự.","retryable":false}})";
  const std::string no_source =
      R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"w2","ok":false,"error":{"code":"internal_error","message":"Thiếu đường dẫn hoặc URL nguồn phát.","retryable":false}})";
  EXPECT_EQ(answers, (std::set<std::string>{too_short, no_source}));
}

TEST(Service, ListsTheSimulatedDevices) {
  ServiceProcess service({.env = {{"MELODARA_SIM_DEVICES", std::string(MELODARA_SOURCE_DIR) +
                                                               "/tests/platform/data/studio_devices.json"}},
                          .path_dirs = {}});
  const auto line = service.ask(R"({"protocolVersion":2,"requestId":"d","operation":"devices.list"})");
  ASSERT_TRUE(line.has_value());
  const Json answer = Json::parse(*line);
  ASSERT_TRUE(answer["ok"].get<bool>()) << *line;
  const Json& result = answer["result"];
  std::vector<std::string> inputs, outputs;
  for (const auto& d : result["inputs"]) inputs.push_back(d["id"]);
  for (const auto& d : result["outputs"]) outputs.push_back(d["id"]);
  // The USB interface leads; the service's own virtual devices are hidden.
  EXPECT_EQ(inputs, (std::vector<std::string>{"Scarlett 2i2 USB", "MacBook Pro Microphone", "AirPods Pro",
                                              "BlackHole 2ch", "FaceTime HD Camera"}));
  EXPECT_EQ(outputs, (std::vector<std::string>{"Scarlett 2i2 USB", "AirPods Pro", "MacBook Pro Speakers",
                                               "BlackHole 2ch"}));
  EXPECT_EQ(result["inputs"], result["audioInputs"]);
  EXPECT_EQ(result["defaultInput"], "Scarlett 2i2 USB");
  EXPECT_EQ(result["virtualMic"]["name"], "Melodara_Virtual_Mic_48kHz");
}

// A device set with one camera microphone and one given output.
std::string camera_devices_file(const ServiceProcess& service, const std::string& output,
                                const char* transport) {
  const std::string path = service.home() + "/devices-" + output + ".json";
  std::ofstream(path)
      << R"({"devices":[{"name":"FaceTime HD Camera","inputChannels":1,"transport":"usb","usbName":"FaceTime HD Camera"},{"name":")"
      << output << R"(","outputChannels":2,"transport":")" << transport << R"("}]})";
  return path;
}

TEST(Service, FeedbackRiskAtStartUp) {
  struct Case {
    std::string output;
    const char* transport;
    bool risk;
  } cases[] = {{"MacBook Pro Speakers", "builtin", true}, {"AirPods Pro", "bluetooth", false}};
  for (const auto& c : cases) {
    ServiceProcess probe;  // only lends a folder for the device file
    const std::string devices = camera_devices_file(probe, c.output, c.transport);
    ServiceProcess service({.env = {{"MELODARA_SIM_DEVICES", devices}}, .path_dirs = {}});
    const auto line = service.ask(R"({"protocolVersion":2,"requestId":"s","operation":"audio.status"})");
    ASSERT_TRUE(line.has_value());
    const Json status = Json::parse(*line)["result"];
    EXPECT_EQ(status["inputDeviceId"], "FaceTime HD Camera");
    EXPECT_EQ(status["outputDeviceId"], c.output);
    EXPECT_EQ(status["acousticFeedbackRisk"], c.risk) << c.output;
    EXPECT_EQ(status["antiHowlActive"], c.risk) << c.output;
    EXPECT_EQ(status["mixer"]["monitorEnabled"], !c.risk) << c.output;
  }
}

TEST(Service, RefusesProgramStreamEndpointsThatAreNotLoopback) {
  ServiceProcess service;
  const auto open = [&](const std::string& payload) {
    const auto line = service.ask(
        R"({"protocolVersion":2,"requestId":"p","operation":"audio.program-stream.open","payload":)" +
        payload + "}");
    return Json::parse(line.value_or("{}"));
  };
  const std::string invalid = "program stream endpoint không hợp lệ";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"host":"localhost","port":4000,"token":"abc"})", "program stream chỉ nhận địa chỉ IP cục bộ"},
      {R"({"host":"192.168.1.2","port":4000,"token":"abc"})", "program stream chỉ được nối tới loopback"},
      {R"({"host":"::2","port":4000,"token":"abc"})", "program stream chỉ được nối tới loopback"},
      {R"({"host":"127.0.0.1","port":0,"token":"abc"})", invalid},
      {R"({"host":"127.0.0.1","port":70000,"token":"abc"})", invalid},
      {R"({"host":"127.0.0.1","port":4000,"token":")" + std::string(257, 't') + "\"}", invalid},
  };
  for (const auto& [payload, message] : cases) {
    const Json answer = open(payload);
    EXPECT_EQ(answer["ok"], false) << payload;
    EXPECT_EQ(answer["error"]["code"], "invalid_request");
    EXPECT_EQ(answer["error"]["message"], message) << payload;
  }
  const Json opened = open(R"({"host":" 127.0.0.1 ","port":4000,"token":"abc"})");
  EXPECT_EQ(opened["ok"], true);
  EXPECT_EQ(opened["result"]["state"], "active");
  const auto status = service.ask(R"({"protocolVersion":2,"requestId":"s","operation":"audio.status"})");
  EXPECT_EQ(Json::parse(status.value_or("{}"))["result"]["programStream"]["state"], "active");
}

TEST(Service, SurvivesAClosedStdout) {
  ServiceProcess service;
  service.close_stdout();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(service.write_line(kHandshake));
  service.close_stdin();
  EXPECT_EQ(service.wait_exit(), 0) << service.stderr_text();
}

// The simulated system's root folder with the driver the app ships and the
// system's plug-in folder, but neither Loopback nor an installed driver.
struct SystemRoot {
  std::filesystem::path path;
  SystemRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "melodara-root-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
  }
  ~SystemRoot() { std::filesystem::remove_all(path); }
  std::string at(const std::string& fixed_path) const { return path.string() + fixed_path; }
};

TEST(Service, InstallsTheVirtualMicDriverAndListsTheBus) {
  SystemRoot root;
  const std::string shipped = root.at(
      "/Applications/Melodara.app/Contents/Resources/native/macos-virtual-mic/MelodaraVirtualMic.driver");
  const std::string installed = root.at("/Library/Audio/Plug-Ins/HAL/MelodaraVirtualMic.driver");
  std::filesystem::create_directories(shipped + "/Contents");
  std::ofstream(shipped + "/Contents/Info.plist") << "driver";
  std::filesystem::create_directories(root.at("/Library/Audio/Plug-Ins/HAL"));
  std::filesystem::create_directories(root.at("/tmp"));
  const std::string log = root.at("/tools.log");
  ServiceProcess service({.env = {{"MELODARA_SIM_ROOT", root.path.string()}, {"MELODARA_TOOL_LOG", log}},
                          .path_dirs = {test::kStandInToolsDir}});

  // The engine provisions in the background; the list shows the bus once it is there.
  Json list;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto line = service.ask(R"({"protocolVersion":2,"requestId":"d","operation":"devices.list"})");
    ASSERT_TRUE(line.has_value()) << service.stderr_text();
    list = Json::parse(*line)["result"];
    if (list["virtualMic"]["active"] == true) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(list["virtualMic"], Json::parse(R"({"active":true,"hiddenFromOwnInput":true,
      "id":"Melodara_Virtual_Bus_48kHz","name":"Melodara_Virtual_Mic_48kHz"})"));
  EXPECT_EQ(test::read_tool_log(log),
            (std::vector<test::ToolCall>{{"cp", "-R", shipped, installed}, {"killall", "coreaudiod"}}));
  EXPECT_TRUE(std::filesystem::exists(installed + "/Contents/Info.plist"));
  // The service's own devices stay out of the lists.
  for (const auto& d : list["inputs"]) EXPECT_NE(d["id"], "Melodara_Virtual_Mic_48kHz");
  for (const auto& d : list["outputs"]) EXPECT_NE(d["id"], "Melodara_Virtual_Bus_48kHz");
}

}  // namespace
}  // namespace melodara
