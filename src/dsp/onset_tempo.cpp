#include "dsp/onset_tempo.h"

#include <algorithm>

namespace melodara {

void center_onsets(std::span<double> onsets) noexcept MELODARA_NONBLOCKING {
  if (onsets.empty()) return;
  double sum = 0.0;
  for (const double o : onsets) sum += o;
  const double mean = sum / static_cast<double>(onsets.size());
  for (double& o : onsets) o -= mean;
}

void add_onset_autocorrelation(std::span<const double> c, std::size_t first_lag, std::size_t last_lag,
                               std::size_t min_pairs, std::span<double> r) noexcept MELODARA_NONBLOCKING {
  const std::size_t n = c.size();
  for (std::size_t lag = first_lag; lag <= last_lag && lag < r.size(); ++lag) {
    if (lag >= n || n - lag < min_pairs) continue;
    const std::size_t pairs = n - lag;
    // Four partial sums: one long chain of dependent adds would be latency bound.
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= pairs; i += 4)
      for (std::size_t j = 0; j < 4; ++j) acc[j] += c[i + j] * c[i + j + lag];
    for (; i < pairs; ++i) acc[0] += c[i] * c[i + lag];
    r[lag] += (acc[0] + acc[1] + acc[2] + acc[3]) / static_cast<double>(pairs);
  }
}

}  // namespace melodara
