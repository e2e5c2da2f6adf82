#include "engine/stream_engine.h"

#include <algorithm>

namespace tavix::sdk {
namespace {

bool all_zero(const float* samples, size_t count) {
    return std::all_of(samples, samples + count, [](float s) { return s == 0.0f; });
}

}  // namespace

StreamEngine::StreamEngine(SessionFormat format, std::unique_ptr<FrameModel> model,
                           LinkCodec codec)
    : format_(format),
      model_(std::move(model)),
      codec_(codec),
      latency_(static_cast<uint32_t>(format.frames_in_ms(kBufferMs)) + model_->latency_frames()) {}

void StreamEngine::push(const float* in, size_t frames, bool processing, std::vector<float>& out) {
    const size_t channels = format_.channels;
    if (all_zero(in, frames * channels)) {
        if (!in_silence_) {
            in_silence_ = true;
            silence_start_ = frames_in_;
            silence_kept_ = 0;
        }
        size_t kept = static_cast<size_t>(std::min<uint64_t>(frames, latency_ - silence_kept_));
        silence_kept_ += kept;
        append(in, kept, processing);
    } else {
        in_silence_ = false;
        append(in, frames, processing);
    }

    uint64_t due = frames_in_ > latency_ ? frames_in_ - latency_ : 0;
    if (in_silence_) due = std::min(due, silence_start_);
    out.clear();
    if (due > frames_out_) {
        ready_.pop_into(static_cast<size_t>(due - frames_out_) * channels, out);
        frames_out_ = due;
    }
}

void StreamEngine::append(const float* in, size_t frames, bool processing) {
    if (frames == 0) return;
    const size_t count = frames * format_.channels;
    frames_in_ += frames;
    if (!processing && !model_started_) {
        ready_.push(in, count);
        return;
    }
    if (!model_started_) {
        model_started_ = true;
        model_warmup_left_ = model_->latency_frames();
    }
    scratch_.assign(in, in + count);
    through_link(codec_, scratch_.data(), count);
    model_->process(scratch_.data(), scratch_.data(), frames);
    size_t skipped = std::min(frames, model_warmup_left_);
    model_warmup_left_ -= skipped;
    float* done = scratch_.data() + skipped * format_.channels;
    size_t done_count = count - skipped * format_.channels;
    through_link(codec_, done, done_count);
    ready_.push(done, done_count);
}

}  // namespace tavix::sdk
