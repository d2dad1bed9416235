// A left/right sample pair, the voice pair and the track pair of the chain.
#pragma once

namespace melodara {

struct StereoSample {
  float left = 0.0f;
  float right = 0.0f;
  friend bool operator==(const StereoSample&, const StereoSample&) = default;
};

}  // namespace melodara
