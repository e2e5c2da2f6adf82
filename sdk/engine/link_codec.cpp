#include "engine/link_codec.h"

#include <cmath>

#include "dsp/g711.h"
#include "dsp/unit_clip.h"

namespace tavix::sdk {
namespace {

float through_pcm16(float sample) {
    return std::nearbyint(dsp::clip_to_unit(sample) * 32767.0f) / 32767.0f;
}

}  // namespace

const char* codec_name(LinkCodec codec) {
    switch (codec) {
        case LinkCodec::kPcm16: return "pcm16";
        case LinkCodec::kMulaw: return "mulaw";
        case LinkCodec::kNone: break;
    }
    return "none";
}

void through_link(LinkCodec codec, float* samples, size_t count) {
    if (codec == LinkCodec::kPcm16)
        for (size_t i = 0; i < count; ++i) samples[i] = through_pcm16(samples[i]);
    else if (codec == LinkCodec::kMulaw)
        for (size_t i = 0; i < count; ++i)
            samples[i] = dsp::mulaw_decode(dsp::mulaw_encode(samples[i]));
}

}  // namespace tavix::sdk
