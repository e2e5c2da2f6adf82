// DTMF key tones (ITU-T Q.23) found block by block with Goertzel filters.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

namespace tavix::dsp {

struct DetectedKey {
    char key;              // one of "0123456789*#ABCD"
    uint64_t onset_block;  // first block the key sounded in
    uint64_t end_block;    // first block after the key
    // Share of block energy in the key's two tones, in its clearest block:
    // blocks the key only partly covers under-read the share by the part
    // they miss.
    double confidence;
};

// Q.24-style acceptance per 12.8 ms block: one clear peak in each tone
// group, twist within limits (8 dB normal, 4 dB reverse), the two tones
// carrying most of the block's energy. A key starts once two consecutive
// blocks agree and the tones' frequencies, measured from the phase advance
// between the blocks, lie within 2.5% of nominal. A sounding key is held on
// looser limits and ends after two blocks without it, so neither a tone at
// the edge of the limits nor a single disturbed block splits a key.
class DtmfKeyDetector {
public:
    explicit DtmfKeyDetector(uint32_t sample_rate);

    size_t block_size() const { return block_size_; }
    uint64_t blocks_analysed() const { return blocks_; }
    bool key_sounding() const { return sounding_ != 0; }

    // Analyses the next block (block_size() samples). Returns true and fills
    // `ended` when a key ended before this block.
    bool analyse(const float* block, DetectedKey& ended);

    // Ends the key that is still sounding, if any, as of the last block.
    bool cut_sounding_key(DetectedKey& ended);

private:
    struct BlockVerdict {
        char key = 0;       // key that may start here; 0: none
        char held_key = 0;  // key that may continue here; 0: none
        int row = 0;
        int column = 0;
        double confidence = 0.0;
        std::complex<double> row_tone;
        std::complex<double> column_tone;
    };

    BlockVerdict classify(const float* block) const;
    bool frequencies_steady(const BlockVerdict& earlier, const BlockVerdict& later) const;
    bool within_tolerance(std::complex<double> earlier, std::complex<double> later,
                          double nominal_hz) const;
    void finish_key(DetectedKey& ended) const;

    uint32_t sample_rate_;
    size_t block_size_;
    uint64_t blocks_ = 0;
    BlockVerdict previous_;
    char sounding_ = 0;
    uint64_t sounding_onset_ = 0;
    uint64_t sounding_last_ = 0;
    unsigned missed_blocks_ = 0;
    double sounding_confidence_ = 0.0;
};

}  // namespace tavix::dsp
