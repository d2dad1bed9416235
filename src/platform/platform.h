#pragma once
// The platform the service runs on: one instance of each interface. Until a
// test installs its own, it is the simulated hardware configured from the
// environment (see platform/sim/sim_config.h for the variables).
#include <memory>
#include <string>

#include "platform/audio_host.h"
#include "platform/audio_system.h"
#include "platform/output_unit.h"
#include "platform/usb_registry.h"

namespace melodara {

struct Platform {
  std::shared_ptr<AudioHost> audio;
  std::shared_ptr<AudioSystem> system;
  std::shared_ptr<OutputUnitHost> units;
  std::shared_ptr<UsbRegistry> usb;
  // Folder the system's fixed absolute paths ("/Applications/...", "/Library/...",
  // "/tmp/...") lie under: empty on a real system, a test's folder in the simulation.
  std::string system_root;
};

// The first call builds the default platform.
// Thread: any but realtime callbacks. Blocks: briefly, on its mutex. Allocates: yes.
Platform platform();
// Replaces the platform for later calls (tests); holders of the old one keep it.
// Thread: any but realtime callbacks. Blocks: briefly, on its mutex. Allocates: yes.
void install_platform(Platform p);

}  // namespace melodara
