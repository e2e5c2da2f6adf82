// The language-translation pipeline of the substitute: DTMF key tones are
// "speech", the keys are the transcription and their number words in the
// output language are the translation.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dsp/dtmf_transcriber.h"
#include "engine/session_format.h"
#include "tavix/Transcript.h"

namespace tavix::sdk {

class DtmfTranslation {
public:
    DtmfTranslation(SessionFormat format, std::string language_in, std::string language_out);

    // Listens to `frames` interleaved frames (channels are mixed to mono).
    // Each transcriber update yields a TRANSCRIPTION frame (the keys, in
    // language_in) followed by a TRANSLATION frame (their words, in
    // language_out); a running sequence is partial, an ended one complete.
    // What it heard counts only after commit(); until then (or if it
    // throws) the pipeline is as before, and the next listen or skip starts
    // from there again.
    std::vector<TextFrame> listen(const float* in, size_t frames);

    // Lets `frames` frames of silence pass, keeping the clock in step with
    // the stream while audio bypasses the pipeline. Needs commit() as listen.
    std::vector<TextFrame> skip(size_t frames);

    // Makes the last listen or skip count.
    void commit() noexcept;

    // Ends a running key sequence, at once.
    std::vector<TextFrame> finish();

private:
    std::vector<TextFrame> frames_for(const std::vector<dsp::DtmfUpdate>& updates) const;

    SessionFormat format_;
    std::string language_in_;
    std::string language_out_;
    dsp::DtmfTranscriber transcriber_;
    dsp::DtmfTranscriber staged_;  // transcriber_ after the last listen or skip
    std::vector<float> mono_;
};

}  // namespace tavix::sdk
