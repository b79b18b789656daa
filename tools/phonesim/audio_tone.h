// The simulated microphone: a steady sine tone, 16-bit mono at 44,100 Hz,
// handed out in the 1024-sample blocks the phone sends.
#pragma once

#include <cstdint>
#include <span>

namespace talvik::phonesim {

inline constexpr int kAudioSampleRate = 44100;
inline constexpr int kAudioBlockSamples = 1024;

class ToneGenerator {
public:
    explicit ToneGenerator(double frequencyHz) : frequencyHz_(frequencyHz) {}

    // The next samples of the tone, continuing where the last call ended.
    void Fill(std::span<std::int16_t> samples);

private:
    double frequencyHz_;
    double phase_ = 0;  // in cycles, 0 to 1
};

} // namespace talvik::phonesim
