// Turns DTMF key tones in a mono stream into transcript updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavix::dsp {

struct DtmfUpdate {
    bool final;            // false: sequence still running; true: it ended
    std::string digits;    // keys so far, from "0123456789*#ABCD"
    double start_s;        // onset of the first key, seconds from stream start
    double end_s;          // end of the last key, seconds from stream start
    double probability;    // mean detection confidence of the keys, in [0, 1]
    uint32_t utterance;    // index of the sequence, counting from 0
};

class DtmfKeyDetector;

// Keys are told apart with Goertzel filters on 12.8 ms blocks and accepted
// once two consecutive blocks agree (so tones from about 26 ms on count; the
// usual 40 ms minimum is always met). A key ends after two blocks without
// it. Each ended key yields a partial update with the digits so far; a
// sequence ends with a final update once 600 ms pass without a key, or right
// after its kMaxSequenceKeys-th key (so a run of keys with short gaps cannot
// grow without bound), and the next sequence gets the next utterance index.
class DtmfTranscriber {
public:
    static constexpr double kSequenceEndPause_s = 0.6;
    static constexpr size_t kMaxSequenceKeys = 32;

    // sample_rate in [8000, 192000], otherwise std::invalid_argument.
    explicit DtmfTranscriber(uint32_t sample_rate);
    ~DtmfTranscriber();
    DtmfTranscriber(DtmfTranscriber&&) noexcept;
    DtmfTranscriber& operator=(DtmfTranscriber&&) noexcept;
    // Copies are deep; assigning reuses the target's memory.
    DtmfTranscriber(const DtmfTranscriber& other);
    DtmfTranscriber& operator=(const DtmfTranscriber& other);

    std::vector<DtmfUpdate> feed(const float* mono, size_t n);
    // Ends a running sequence with a final update; a key still sounding
    // counts (up to the last block it was heard in) and gets its partial
    // update first. Returns nothing when no sequence runs.
    std::vector<DtmfUpdate> flush();

private:
    struct Sequence;
    std::unique_ptr<DtmfKeyDetector> detector_;
    std::unique_ptr<Sequence> sequence_;
};

}  // namespace tavix::dsp
