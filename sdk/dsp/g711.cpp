#include "dsp/g711.h"

#include <cmath>

#include "dsp/unit_clip.h"

namespace tavix::dsp {
namespace {

// G.711 works on 14-bit magnitudes; these constants are on the customary
// 16-bit scale (the two low bits never reach the code).
constexpr int kBias = 0x84;
constexpr int kClip = 32635;
constexpr float kScale = 32768.0f;

int segment_of(int biased_magnitude) {
    int segment = 0;
    for (int limit = 0xFF; segment < 8 && biased_magnitude > limit; limit = (limit << 1) | 1) {
        ++segment;
    }
    return segment;
}

}  // namespace

uint8_t mulaw_encode(float sample) {
    int pcm = static_cast<int>(std::lrint(clip_to_unit(sample) * kScale));
    int mask = 0xFF;
    if (pcm < 0) {
        pcm = -pcm;
        mask = 0x7F;
    }
    if (pcm > kClip) {
        pcm = kClip;
    }
    pcm += kBias;
    const int segment = segment_of(pcm);
    const int code = (segment << 4) | ((pcm >> (segment + 3)) & 0x0F);
    return static_cast<uint8_t>(code ^ mask);
}

float mulaw_decode(uint8_t code) {
    const int inverted = ~code & 0xFF;
    const int segment = (inverted & 0x70) >> 4;
    const int magnitude = ((((inverted & 0x0F) << 3) + kBias) << segment) - kBias;
    const int pcm = (inverted & 0x80) ? -magnitude : magnitude;
    return static_cast<float>(pcm) / kScale;
}

}  // namespace tavix::dsp
