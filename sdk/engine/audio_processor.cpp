#include "engine/audio_processor.h"

#include <stdexcept>

#include "common/text.h"

namespace tavix::sdk {
namespace {

LinkCodec link_codec(const AudioAttributes& attrs) {
    if (!attrs.cloud_inferencing) return LinkCodec::kNone;
    return attrs.cloud_inferencing_params.use_pcm16 ? LinkCodec::kPcm16 : LinkCodec::kMulaw;
}

std::optional<std::chrono::milliseconds> connect_delay(const AudioAttributes& attrs) {
    if (!attrs.cloud_inferencing) return std::nullopt;
    return AudioProcessor::kConnectDelay;
}

std::optional<DtmfTranslation> translation_for(const ProcessorAttributes& attrs,
                                               const SessionFormat& format) {
    if (!attrs.lt_config) return std::nullopt;
    return DtmfTranslation(format, attrs.lt_config->language_in, attrs.lt_config->language_out);
}

OutputThread::TextCallback text_callback(const ProcessorAttributes& attrs) {
    return attrs.lt_config ? attrs.lt_config->callback : OutputThread::TextCallback{};
}

std::string milliseconds(size_t frames, uint32_t sample_rate) {
    return three_decimals(static_cast<double>(frames) * 1000.0 / sample_rate);
}

}  // namespace

AudioProcessor::AudioProcessor(const ProcessorAttributes& attrs, SessionFormat format,
                               const ModelInfo& model, std::shared_ptr<Logger> log)
    : log_(std::move(log)),
      model_name_(model.name),
      format_(format),
      min_frames_(format_.frames_in_ms(kMinFrameMs)),
      engine_(format_, make_frame_model(model, format_), link_codec(attrs.audio_attributes)),
      translation_(translation_for(attrs, format_)),
      output_thread_(attrs.audio_attributes.audio_pipeline_state_notify, text_callback(attrs),
                     connect_delay(attrs.audio_attributes)) {
    // A returned empty frame still points at memory of ours.
    output_.reserve(min_frames_ * format_.channels);
    const AudioAttributes& audio = attrs.audio_attributes;
    log_->info("create_audio_processor model=" + quote_field(model_name_) +
               " path=" + (audio.cloud_inferencing ? "cloud" : "local") +
               " codec=" + codec_name(engine_.codec()) +
               " sampling_rate=" + std::to_string(format_.sample_rate) +
               " channels=" + std::to_string(format_.channels) +
               " latency_frames=" + std::to_string(engine_.latency_frames()) +
               " latency_ms=" + milliseconds(engine_.latency_frames(), format_.sample_rate) +
               (translation_ ? " language_in=" + quote_field(attrs.lt_config->language_in) +
                                   " language_out=" + quote_field(attrs.lt_config->language_out)
                             : std::string()));
}

AudioProcessor::~AudioProcessor() {
    if (!epoch_.current()) {
        output_thread_.stop();  // abandons it
        return;
    }
    // A destructor must not throw: without memory for them the final update
    // and the log line are lost, but the thread is still stopped.
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (translation_ && output_thread_.running())
            note_drops(output_thread_.post(translation_->finish()));
    } catch (const std::exception&) {
    }
    output_thread_.stop();
    try {
        log_->info("destroy_audio_processor model=" + quote_field(model_name_) +
                   " frames_accepted=" + std::to_string(frames_accepted_) +
                   " frames_emitted=" + std::to_string(frames_emitted_) +
                   " calls_dropped=" + std::to_string(calls_dropped_) +
                   " transcripts_dropped=" + std::to_string(output_thread_.transcripts_dropped()));
    } catch (const std::exception&) {
    }
}

void AudioProcessor::note_drops(bool drops_began) {
    if (!drops_began) return;
    // Only std::exception: a forced unwind (a cancelled thread) must pass.
    try {
        log_->warn("transcripts_dropping model=" + quote_field(model_name_) +
                   " capacity=" + std::to_string(OutputThread::kQueueCapacity) +
                   " reason=" + quote_field("the transcript callback falls behind the audio; "
                                            "the oldest partial transcripts are dropped"));
    } catch (const std::exception&) {
    }
}

AudioFrame AudioProcessor::ProcessFrame(const AudioFrame& frame) {
    if (!epoch_.current())
        throw std::logic_error("the AudioProcessor belongs to the process that forked this one; "
                               "create a new one here");
    if (frame.frame_count % format_.channels != 0)
        throw std::invalid_argument("frame_count " + std::to_string(frame.frame_count) +
                                    " is not a multiple of the session's " +
                                    std::to_string(format_.channels) + " channels");
    if (frame.frame_count != 0 && frame.samples == nullptr)
        throw std::invalid_argument("the frame has no samples but a frame_count of " +
                                    std::to_string(frame.frame_count));

    std::lock_guard<std::mutex> lock(mutex_);
    const size_t frames = frame.frame_count / format_.channels;
    if (frames < min_frames_) {
        ++calls_dropped_;
        output_.clear();
        return AudioFrame{output_.data(), 0};
    }
    const bool processing = output_thread_.running();
    // Everything that may throw (bad_alloc) comes before the first change to
    // the stream, so a failed call leaves the processor as it was.
    engine_.reserve(frames, output_);
    bool drops_began = false;
    if (translation_)
        drops_began = output_thread_.post(processing ? translation_->listen(frame.samples, frames)
                                                : translation_->skip(frames));
    engine_.push(frame.samples, frames, processing, output_);
    if (translation_) translation_->commit();
    frames_accepted_ += frames;
    frames_emitted_ += output_.size() / format_.channels;
    note_drops(drops_began);
    return AudioFrame{output_.data(), static_cast<uint32_t>(output_.size())};
}

}  // namespace tavix::sdk
