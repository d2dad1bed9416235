#include "dsp/vocal_dsp.h"

#include <tuple>
#include <type_traits>
#include <utility>

namespace melodara {
namespace {

std::vector<float> line(std::size_t n) { return std::vector<float>(n, 0.0f); }

template <std::size_t N>
std::array<std::vector<float>, N> lines(const std::array<std::size_t, N>& sizes) {
  std::array<std::vector<float>, N> out;
  for (std::size_t k = 0; k < N; ++k) out[k] = line(sizes[k]);
  return out;
}

// The entries of bank A, and the stage that runs each.
enum BankA : std::size_t {
  kSendLowpass = 0,      // 0, 1: the send filters, left and right
  kSendCut530 = 2,       // 2, 3
  kSendCut660 = 4,       // 4, 5
  kSendCut2500 = 6,      // 6, 7
  kUnusedLowpass = 8,    // 8, 9: built, run by no stage
  kReverbSide = 10,      // the reverb's main side
  kReverbBankSide = 11,  // the reverb's second bank, side
  kReverbMid = 12,       // the reverb's main mid
  kReverbBankMid = 13,   // the reverb's second bank, mid
  kEchoMid = 14,         // the echo pair's mid
  kSendHighpass = 15,    // 15, 16: the send filters
  kReverbOutput = 17,    // 17, 18: the reverb's output pair
  kEchoHighpass = 19,    // 19, 20: the echo feedback into the left and right lines
  kEchoLowpass = 21,     // 21, 22
};

FilterBankA make_filter_bank_a() {
  FilterBankA a;
  const auto pair = [&a](std::size_t left, const Biquad& design) { a[left] = a[left + 1] = design; };
  pair(kSendLowpass, biquad_lowpass(6200, 0.707));
  pair(kSendCut530, biquad_peaking(530, 0.75, -7.8));
  pair(kSendCut660, biquad_peaking(660, 0.8, -7.8));
  pair(kSendCut2500, biquad_peaking(2500, 0.75, -7.8));
  pair(kUnusedLowpass, biquad_lowpass(220, 0.707));
  pair(kReverbSide, biquad_highpass(235, 0.707));  // and the second bank's side
  a[kReverbMid] = biquad_highpass(350, 0.707);
  a[kReverbBankMid] = biquad_highpass(360, 0.707);
  a[kEchoMid] = biquad_highpass(280, 0.707);
  pair(kSendHighpass, biquad_highpass(245, 0.65));
  pair(kReverbOutput, biquad_lowpass(5800, 0.707));
  pair(kEchoHighpass, biquad_highpass(240, 0.707));
  pair(kEchoLowpass, biquad_lowpass(5200, 0.707));
  return a;
}

// The entries of bank B, and the stage that runs each.
enum BankB : std::size_t {
  kLowCut = 0,
  kEqBody = 1,  // the voice EQ
  kEqTailLowMid = 2,
  kEqTailMid = 3,
  kAirShelf = 4,  // the tube stage's
  kAirLowpass = 5,
  kAirBand = 6,
  kRadioBand = 7,
  kTrackMidLowpass = 8,  // the backing track's
  kTrackLowBand = 9,
  kTrackHighBand = 10,  // 10, 11: left and right
  kTrackSideHighpass = 12,
  kTrackSynthHighpass = 13,
  kDeesserDetector = 14,
  kEqFormants = 15,  // 15..19
  kEqColour = 20,    // 20..22
  kEqMudBand = 23,
  kEqPresenceLowBand = 24,
  kEqPresenceHighBand = 25,
  kEqCutLow = 26,
  kEqCutHigh = 27,
  kBassBand = 28,
  kBassSmooth = 29,
  kTube = 30,           // 30..32
  kRadioHighpass = 33,  // 33..35: the radio filter's band limit
  kPunchVoiceLow = 36,
  kPunchTrackLow = 37,
  kPunchSideHigh = 38,  // 38, 39: left and right
  kTrackPocketLow = 40,
  kTrackPocketHigh = 41,
};

FilterBankB make_filter_bank_b() {
  return {
      biquad_highpass(84, 0.707),         // 0 low-cut
      biquad_peaking(215, 0.7, 0.95),     // 1
      biquad_peaking(480, 1.15, -2.2),    // 2
      biquad_peaking(1450, 0.8, -0.65),   // 3
      biquad_high_shelf(8500, 1.35),      // 4
      biquad_lowpass(12200, 0.707),       // 5
      biquad_bandpass(6500, 1.8),         // 6
      biquad_bandpass(1450, 1.8),         // 7
      biquad_lowpass(150, 0.707),         // 8
      biquad_lowpass(85, 0.707),          // 9
      biquad_highpass(85, 0.707),         // 10
      biquad_highpass(85, 0.707),         // 11
      biquad_highpass(180, 0.707),        // 12
      biquad_highpass(260, 0.707),        // 13
      biquad_bandpass(5506, 1.6),         // 14 de-esser detector
      biquad_peaking(335, 1.45, -1.25),   // 15
      biquad_peaking(685, 1.2, -2.85),    // 16
      biquad_peaking(1620, 1.35, -1.75),  // 17
      biquad_peaking(2550, 1.15, -2.75),  // 18
      biquad_peaking(550, 1.25, -1.65),   // 19
      biquad_peaking(195, 0.7, 0.65),     // 20
      biquad_peaking(465, 1.35, -1.25),   // 21
      biquad_peaking(3600, 0.75, 0.35),   // 22
      biquad_bandpass(220, 0.65),         // 23
      biquad_bandpass(1450, 0.65),        // 24
      biquad_bandpass(2650, 0.65),        // 25
      biquad_peaking(1450, 0.7, 0.0),     // 26
      biquad_peaking(2650, 0.65, 0.0),    // 27
      biquad_bandpass(132, 0.95),         // 28
      biquad_lowpass(235, 0.75),          // 29
      biquad_peaking(188, 0.75, 1.35),    // 30
      biquad_peaking(635, 1.1, -1.85),    // 31
      biquad_high_shelf(7800, 0.75),      // 32
      biquad_highpass(350, 0.9),          // 33
      biquad_lowpass(3200, 0.9),          // 34
      biquad_peaking(1350, 1.8, 5.5),     // 35
      biquad_lowpass(220, 0.707),         // 36
      biquad_lowpass(220, 0.707),         // 37
      biquad_highpass(2594, 0.707),       // 38
      biquad_highpass(2594, 0.707),       // 39
      biquad_peaking(230, 0.75, -1.8),    // 40
      biquad_peaking(1650, 0.7, -2.2),    // 41
  };
}

template <std::size_t N>
std::span<Biquad, N> sections_from(FilterBankB& bank, std::size_t first) noexcept {
  return std::span<Biquad, N>(bank.data() + first, N);
}

}  // namespace

std::array<Biquad, 6> design_corr_eq(const DspF32x6& gains_db) MELODARA_NONBLOCKING {
  const auto db = [&](std::size_t band) { return static_cast<double>(gains_db[band]); };
  return {biquad_peaking(110, 1.0, db(0)),  biquad_peaking(310, 1.35, db(1)),
          biquad_peaking(650, 1.25, db(2)), biquad_peaking(1650, 1.25, db(3)),
          biquad_peaking(3100, 1.1, db(4)), biquad_high_shelf(9500, db(5))};
}

ModDelayLines mod_delay_lines(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  return {d.mod_line_a, d.mod_line_b};
}

Biquad& low_cut_section(VocalDsp& d) noexcept MELODARA_NONBLOCKING { return d.filter_bank_b[kLowCut]; }

Biquad& deesser_detector(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  return d.filter_bank_b[kDeesserDetector];
}

PunchSections punch_sections(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankB& b = d.filter_bank_b;
  return {b[kPunchVoiceLow], b[kPunchTrackLow], b[kPunchSideHigh], b[kPunchSideHigh + 1]};
}

ToneSections tone_sections(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankB& b = d.filter_bank_b;
  FilterBankA& a = d.filter_bank_a;
  return {{b[kEqBody], sections_from<5>(b, kEqFormants), sections_from<3>(b, kEqColour), b[kEqTailLowMid],
           b[kEqTailMid], b[kEqMudBand], b[kEqPresenceLowBand], b[kEqPresenceHighBand], b[kEqCutLow],
           b[kEqCutHigh], d.notch_a, d.notch_b},
          {b[kBassBand], b[kBassSmooth]},
          {sections_from<3>(b, kTube), b[kAirShelf], b[kAirLowpass], b[kAirBand]},
          {a[kEchoHighpass], a[kEchoHighpass + 1], a[kEchoLowpass], a[kEchoLowpass + 1]},
          d.notch_freqs};
}

RadioSections radio_sections(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankB& b = d.filter_bank_b;
  return {b[kRadioHighpass], b[kRadioHighpass + 1], b[kRadioHighpass + 2], b[kRadioBand]};
}

SendFilters send_filters(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankA& a = d.filter_bank_a;
  const auto side = [&a](std::size_t k) -> SendFilterChain {
    return {a[kSendLowpass + k], a[kSendHighpass + k], a[kSendCut530 + k], a[kSendCut660 + k],
            a[kSendCut2500 + k]};
  };
  return {side(0), side(1)};
}

EchoLines echo_lines(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankA& a = d.filter_bank_a;
  return {d.tempo_line_l,
          d.tempo_line_r,
          {a[kEchoHighpass], a[kEchoHighpass + 1], a[kEchoLowpass], a[kEchoLowpass + 1]},
          a[kEchoMid]};
}

BackingLines backing_lines(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  FilterBankB& b = d.filter_bank_b;
  return {d.short_line_a,
          {b[kTrackMidLowpass], b[kTrackSideHighpass], b[kTrackSynthHighpass], b[kTrackHighBand],
           b[kTrackHighBand + 1], b[kTrackLowBand], b[kTrackPocketLow], b[kTrackPocketHigh]},
          d.music_shifter,
          d.music_shifter_l,
          d.music_shifter_r};
}

ReverbLines reverb_lines(VocalDsp& d) noexcept MELODARA_NONBLOCKING {
  const auto spans = [](auto& lines) {
    std::array<std::span<float>, std::tuple_size_v<std::remove_reference_t<decltype(lines)>>> out;
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = lines[k];
    return out;
  };
  return {d.long_line_l,
          d.long_line_r,
          spans(d.reverb_combs_l),
          spans(d.reverb_combs_r),
          spans(d.reverb_allpasses_l),
          spans(d.reverb_allpasses_r),
          spans(d.reverb_b_combs_l),
          spans(d.reverb_b_combs_r),
          d.reverb_b_allpass_l,
          d.reverb_b_allpass_r,
          {d.filter_bank_a[kReverbOutput], d.filter_bank_a[kReverbOutput + 1], d.filter_bank_a[kReverbMid],
           d.filter_bank_a[kReverbSide], d.filter_bank_a[kReverbBankMid], d.filter_bank_a[kReverbBankSide]},
          d.reverb_scratch};
}

VocalDsp vocal_dsp_new(DspParams params) {
  const DspF32x6 corr_gains = params.mic_corr_eq_db;

  VocalDsp d;
  d.short_line_a = line(1024);
  d.short_line_b = line(1024);
  d.short_line_c = line(1024);
  d.main_shifter = pitch_shifter_new(1536);
  d.mod_line_a = line(8192);
  d.mod_line_b = line(8192);
  d.harmony_shifters = {pitch_shifter_new(760), pitch_shifter_new(960), pitch_shifter_new(1140),
                        pitch_shifter_new(860)};
  d.pitch_state.analysis_ring = line(kPitchFrame);
  d.pitch_state.frame = line(kPitchFrame);
  d.music_shifter = pitch_shifter_new(2048);
  d.music_shifter_l = pitch_shifter_new(1536);
  d.music_shifter_r = pitch_shifter_new(1536);
  d.aux_shifter_l = pitch_shifter_new(1024);
  d.aux_shifter_r = pitch_shifter_new(1024);
  d.reverb_combs_l = lines<8>({1597, 1759, 1913, 2081, 2239, 2399, 2557, 2719});
  d.reverb_combs_r = lines<8>({1601, 1753, 1931, 2069, 2243, 2393, 2579, 2713});
  d.reverb_allpasses_l = lines<4>({557, 439, 347, 223});
  d.reverb_allpasses_r = lines<4>({541, 457, 331, 239});
  d.long_line_l = line(16384);
  d.long_line_r = line(16384);
  d.reverb_b_combs_l = lines<4>({1117, 1279, 1439, 1597});
  d.reverb_b_combs_r = lines<4>({1123, 1277, 1433, 1601});
  d.reverb_b_allpass_l = line(263);
  d.reverb_b_allpass_r = line(277);
  d.tempo_line_l = line(96000);
  d.tempo_line_r = line(96000);
  d.filter_bank_a = make_filter_bank_a();
  d.key_tracker = live_key_tracker_new();
  d.lines_2048 = lines<6>({2048, 2048, 2048, 2048, 2048, 2048});
  d.corr_eq = design_corr_eq(corr_gains);
  d.filter_bank_b = make_filter_bank_b();
  d.band_l = biquad_bandpass(280, 0.75);
  d.band_r = biquad_bandpass(6800, 1.2);
  d.notch_a = biquad_peaking(2500, 14, 0.0);
  d.notch_b = biquad_peaking(5000, 14, 0.0);
  for (auto& stem : d.stems) stem.reserve(kMaxBlockFrames);
  d.params = std::move(params);
  return d;
}

}  // namespace melodara
