#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "tavix/IAudioProcessor.h"

// One SDK processor whose calls never overlap. The SDK's output memory is
// valid only until its next call, so each call copies the output out while it
// still holds the lock; the caller then owns what it got. Free of Python, so
// native checks use it as the binding does (without the interpreter lock).
class SerializedProcessor {
public:
    explicit SerializedProcessor(std::unique_ptr<tavix::IAudioProcessor> processor) noexcept
        : processor_(std::move(processor)) {}

    SerializedProcessor(const SerializedProcessor&) = delete;
    SerializedProcessor& operator=(const SerializedProcessor&) = delete;

    // Pushes `input` and returns a copy of the processed samples (empty while
    // the processor primes), made in `into`, whose memory is reused when it
    // is large enough.
    std::vector<float> process(const tavix::AudioFrame& input, std::vector<float> into = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        const tavix::AudioFrame output = processor_->ProcessFrame(input);
        if (output.frame_count == 0 || output.samples == nullptr) {
            into.clear();
        } else {
            into.assign(output.samples, output.samples + output.frame_count);
        }
        return into;
    }

private:
    std::mutex mutex_;
    std::unique_ptr<tavix::IAudioProcessor> processor_;
};
