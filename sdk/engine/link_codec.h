// The audio coding of the simulated link to the remote pipeline. Audio that
// travels the link is quantised by its codec on the way up and down.
#pragma once

#include <cstddef>

namespace tavix::sdk {

enum class LinkCodec {
    kNone,   // local inference: no link
    kPcm16,  // 16-bit linear PCM (CloudInferencingParams::use_pcm16)
    kMulaw,  // G.711 mu-law, the default
};

const char* codec_name(LinkCodec codec);

// Replaces each sample by what arrives after encoding and decoding it.
void through_link(LinkCodec codec, float* samples, size_t count);

}  // namespace tavix::sdk
