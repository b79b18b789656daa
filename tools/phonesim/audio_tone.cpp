#include "tools/phonesim/audio_tone.h"

#include <cmath>
#include <numbers>

namespace talvik::phonesim {

namespace {

// A quarter of full scale: clearly audible, far from clipping.
constexpr double kAmplitude = 8192;

} // namespace

void ToneGenerator::Fill(std::span<std::int16_t> samples)
{
    const double step = frequencyHz_ / kAudioSampleRate;
    for (std::int16_t& sample : samples) {
        sample = static_cast<std::int16_t>(std::lround(kAmplitude * std::sin(2 * std::numbers::pi * phase_)));
        phase_ += step;
        phase_ -= std::floor(phase_);
    }
}

} // namespace talvik::phonesim
