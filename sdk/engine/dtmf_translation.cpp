#include "engine/dtmf_translation.h"

#include <utility>

#include "common/text.h"
#include "dsp/number_words.h"

namespace tavix::sdk {
namespace {

TextFrame text_frame(TranscriptType type, const dsp::DtmfUpdate& update, std::string language,
                     std::string text) {
    TranscriptSegment segment;
    // Seconds from the start of the stream, to the millisecond.
    segment.start = three_decimals(update.start_s);
    segment.end = three_decimals(update.end_s);
    segment.probability = update.probability;
    segment.text = std::move(text);
    TextFrame frame;
    frame.type_ = type;
    frame.transcript_data_.utterance_idx = update.utterance;
    frame.transcript_data_.language_code_ = std::move(language);
    (update.final ? frame.transcript_data_.complete : frame.transcript_data_.partial)
        .push_back(std::move(segment));
    return frame;
}

}  // namespace

DtmfTranslation::DtmfTranslation(SessionFormat format, std::string language_in,
                                 std::string language_out)
    : format_(format),
      language_in_(std::move(language_in)),
      language_out_(std::move(language_out)),
      transcriber_(format.sample_rate),
      staged_(transcriber_) {}

std::vector<TextFrame> DtmfTranslation::listen(const float* in, size_t frames) {
    const size_t channels = format_.channels;
    staged_ = transcriber_;
    if (channels == 1) return frames_for(staged_.feed(in, frames));
    mono_.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (size_t c = 0; c < channels; ++c) sum += in[i * channels + c];
        mono_[i] = sum / static_cast<float>(channels);
    }
    return frames_for(staged_.feed(mono_.data(), frames));
}

std::vector<TextFrame> DtmfTranslation::skip(size_t frames) {
    staged_ = transcriber_;
    mono_.assign(frames, 0.0f);
    return frames_for(staged_.feed(mono_.data(), frames));
}

void DtmfTranslation::commit() noexcept { std::swap(transcriber_, staged_); }

std::vector<TextFrame> DtmfTranslation::finish() { return frames_for(transcriber_.flush()); }

std::vector<TextFrame> DtmfTranslation::frames_for(
    const std::vector<dsp::DtmfUpdate>& updates) const {
    std::vector<TextFrame> frames;
    for (const dsp::DtmfUpdate& update : updates) {
        frames.push_back(
            text_frame(TranscriptType::kTranscription, update, language_in_, update.digits));
        frames.push_back(text_frame(TranscriptType::kTranslation, update, language_out_,
                                    dsp::digits_to_words(language_out_, update.digits)));
    }
    return frames;
}

}  // namespace tavix::sdk
