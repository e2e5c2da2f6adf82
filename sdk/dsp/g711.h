// ITU-T G.711 mu-law companding of float samples in [-1, 1].
#pragma once

#include <cstdint>

namespace tavix::dsp {

// Samples outside [-1, 1] are clipped; NaN encodes as silence.
uint8_t mulaw_encode(float sample);
float mulaw_decode(uint8_t code);

}  // namespace tavix::dsp
