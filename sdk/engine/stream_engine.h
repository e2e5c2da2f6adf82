// The timing of a processor's audio: a fixed latency, priming, and the drain
// of the buffered tail by pushed silence.
//
// Output trails input by latency_frames() frames. Every accepted input frame
// joins the stream, except that a run of all-zero input frames is silence
// the engine holds back: the audio buffered before the run is still emitted
// (that is the drain), but the silence itself is emitted only when audio
// resumes after it, and then at most latency_frames() of it; longer silence
// is shortened to that. So once the input ends with silence, the output is
// exactly the processed input, and the engine then returns nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/frame_model.h"
#include "engine/link_codec.h"
#include "engine/sample_fifo.h"
#include "engine/session_format.h"

namespace tavix::sdk {

class StreamEngine {
public:
    // Latency of the engine on top of the model's own.
    static constexpr uint32_t kBufferMs = 40;

    StreamEngine(SessionFormat format, std::unique_ptr<FrameModel> model, LinkCodec codec);

    uint32_t latency_frames() const { return latency_; }
    LinkCodec codec() const { return codec_; }

    // Takes `frames` interleaved frames and replaces `out` with what is due.
    // With `processing` false (the remote pipeline is not running yet) audio
    // passes around the model and the link unchanged; the first call with it
    // true switches processing on for good. Strong exception guarantee: if it
    // throws (std::bad_alloc), the stream is unchanged and `out` is empty.
    void push(const float* in, size_t frames, bool processing, std::vector<float>& out);

    // Clears `out` and makes all the room a push() of `frames` frames needs,
    // so that push cannot throw; the stream is unchanged either way. Lets a
    // caller do its own fallible work between the two.
    void reserve(size_t frames, std::vector<float>& out);

private:
    // Cannot throw after reserve() for at least `frames`.
    void append(const float* in, size_t frames, bool processing);

    SessionFormat format_;
    std::unique_ptr<FrameModel> model_;
    LinkCodec codec_;
    uint32_t latency_;

    bool model_started_ = false;
    size_t model_warmup_left_ = 0;  // frames of model output that precede its input
    std::vector<float> scratch_;
    SampleFifo ready_;              // stream frames done, in order

    uint64_t frames_in_ = 0;        // stream frames taken in
    uint64_t frames_out_ = 0;       // stream frames emitted
    bool in_silence_ = false;
    uint64_t silence_kept_ = 0;     // frames of the current silence run in the stream
};

}  // namespace tavix::sdk
