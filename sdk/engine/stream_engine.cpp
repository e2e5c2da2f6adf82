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
    const bool silent = all_zero(in, frames * channels);
    const bool silence_starts = silent && !in_silence_;
    const uint64_t kept_before = silence_starts ? 0 : silence_kept_;
    const size_t taken =
        silent ? static_cast<size_t>(std::min<uint64_t>(frames, latency_ - kept_before)) : frames;
    const uint64_t frames_in = frames_in_ + taken;
    // A silence run keeps at most latency_ frames, so what is due never
    // reaches into the held silence: the tail before it drains by itself.
    const uint64_t due = frames_in > latency_ ? frames_in - latency_ : 0;

    // Everything that may throw comes first, so a failure (bad_alloc) leaves
    // the stream as it was and the next call finds it consistent.
    reserve(frames, out);

    in_silence_ = silent;
    silence_kept_ = silent ? kept_before + taken : 0;
    append(in, taken, processing);
    frames_in_ = frames_in;
    if (due > frames_out_) {
        ready_.pop_into(static_cast<size_t>(due - frames_out_) * channels, out);
        frames_out_ = due;
    }
}

void StreamEngine::reserve(size_t frames, std::vector<float>& out) {
    // Room for the most a push can take and emit: all of its frames.
    const size_t count = frames * format_.channels;
    const uint64_t most_in = frames_in_ + frames;
    const uint64_t most_due = most_in > latency_ ? most_in - latency_ : 0;
    out.clear();
    if (most_due > frames_out_)
        out.reserve(static_cast<size_t>(most_due - frames_out_) * format_.channels);
    ready_.reserve(count);
    if (scratch_.size() < count) scratch_.resize(count);
}

void StreamEngine::append(const float* in, size_t frames, bool processing) {
    if (frames == 0) return;
    const size_t count = frames * format_.channels;
    if (!processing && !model_started_) {
        ready_.push(in, count);
        return;
    }
    if (!model_started_) {
        model_started_ = true;
        model_warmup_left_ = model_->latency_frames();
    }
    if (codec_ == LinkCodec::kNone) {
        model_->process(in, scratch_.data(), frames);
    } else {
        std::copy(in, in + count, scratch_.data());
        through_link(codec_, scratch_.data(), count);
        model_->process(scratch_.data(), scratch_.data(), frames);
    }
    size_t skipped = std::min(frames, model_warmup_left_);
    model_warmup_left_ -= skipped;
    float* done = scratch_.data() + skipped * format_.channels;
    size_t done_count = count - skipped * format_.channels;
    through_link(codec_, done, done_count);
    ready_.push(done, done_count);
}

}  // namespace tavix::sdk
