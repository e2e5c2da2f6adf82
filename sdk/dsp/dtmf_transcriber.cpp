#include "dsp/dtmf_transcriber.h"

#include <stdexcept>

#include "dsp/dtmf_key_detector.h"
#include "dsp/sample_rate_range.h"

namespace tavix::dsp {

struct DtmfTranscriber::Sequence {
    uint32_t sample_rate;
    std::vector<float> block;
    size_t block_fill = 0;
    std::string digits;
    double start_s = 0.0;
    double end_s = 0.0;
    double confidence_sum = 0.0;
    uint32_t utterance = 0;

    double seconds(uint64_t blocks, size_t block_size) const {
        return static_cast<double>(blocks) * static_cast<double>(block_size) / sample_rate;
    }

    bool running() const { return !digits.empty(); }

    DtmfUpdate update(bool final) const {
        return DtmfUpdate{final,
                          digits,
                          start_s,
                          end_s,
                          confidence_sum / static_cast<double>(digits.size()),
                          utterance};
    }

    void add_key(const DetectedKey& key, size_t block_size, std::vector<DtmfUpdate>& updates) {
        if (!running()) {
            start_s = seconds(key.onset_block, block_size);
        }
        digits += key.key;
        end_s = seconds(key.end_block, block_size);
        confidence_sum += key.confidence;
        updates.push_back(update(false));
        if (digits.size() == kMaxSequenceKeys) finish(updates);
    }

    void finish(std::vector<DtmfUpdate>& updates) {
        updates.push_back(update(true));
        digits.clear();
        confidence_sum = 0.0;
        ++utterance;
    }
};

DtmfTranscriber::DtmfTranscriber(uint32_t sample_rate) {
    require_supported_sample_rate(sample_rate, "DTMF sample rate");
    detector_ = std::make_unique<DtmfKeyDetector>(sample_rate);
    sequence_ = std::make_unique<Sequence>();
    sequence_->sample_rate = sample_rate;
    sequence_->block.resize(detector_->block_size());
}

DtmfTranscriber::~DtmfTranscriber() = default;
DtmfTranscriber::DtmfTranscriber(DtmfTranscriber&&) noexcept = default;
DtmfTranscriber& DtmfTranscriber::operator=(DtmfTranscriber&&) noexcept = default;

DtmfTranscriber::DtmfTranscriber(const DtmfTranscriber& other)
    : detector_(std::make_unique<DtmfKeyDetector>(*other.detector_)),
      sequence_(std::make_unique<Sequence>(*other.sequence_)) {}

DtmfTranscriber& DtmfTranscriber::operator=(const DtmfTranscriber& other) {
    if (this == &other) return *this;
    if (!detector_ || !sequence_) return *this = DtmfTranscriber(other);
    *detector_ = *other.detector_;
    *sequence_ = *other.sequence_;
    return *this;
}

std::vector<DtmfUpdate> DtmfTranscriber::feed(const float* mono, size_t n) {
    std::vector<DtmfUpdate> updates;
    Sequence& sequence = *sequence_;
    const size_t block_size = detector_->block_size();
    for (size_t i = 0; i < n; ++i) {
        sequence.block[sequence.block_fill++] = mono[i];
        if (sequence.block_fill < block_size) {
            continue;
        }
        sequence.block_fill = 0;
        DetectedKey key;
        if (detector_->analyse(sequence.block.data(), key)) {
            sequence.add_key(key, block_size, updates);
        } else if (sequence.running()) {
            const double now_s = sequence.seconds(detector_->blocks_analysed(), block_size);
            if (now_s - sequence.end_s >= kSequenceEndPause_s && !detector_->key_sounding()) {
                sequence.finish(updates);
            }
        }
    }
    return updates;
}

std::vector<DtmfUpdate> DtmfTranscriber::flush() {
    std::vector<DtmfUpdate> updates;
    DetectedKey key;
    if (detector_->cut_sounding_key(key)) {
        sequence_->add_key(key, detector_->block_size(), updates);
    }
    if (sequence_->running()) {
        sequence_->finish(updates);
    }
    return updates;
}

}  // namespace tavix::dsp
