#pragma once
// A decoded track's interleaved samples, shared by reference count between the
// player, the media cache, the cache writer and the engine thread. Never
// changed once shared, so every holder reads it without a lock.
#include <memory>
#include <vector>

namespace melodara {

using SharedSamples = std::shared_ptr<const std::vector<float>>;

}  // namespace melodara
