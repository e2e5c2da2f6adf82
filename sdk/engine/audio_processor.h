// The processor behind IAudioProcessor: one model on one PCM session.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/fork_epoch.h"
#include "common/logger.h"
#include "engine/dtmf_translation.h"
#include "engine/output_thread.h"
#include "engine/stream_engine.h"
#include "models/model_catalog.h"
#include "tavix/IAudioProcessor.h"
#include "tavix/ProcessorAttributes.h"

namespace tavix::sdk {

class AudioProcessor final : public IAudioProcessor {
public:
    // How long the simulated remote pipeline takes to connect.
    static constexpr std::chrono::milliseconds kConnectDelay{150};
    // Shorter input is dropped.
    static constexpr uint32_t kMinFrameMs = 20;

    // `attrs` has passed read_request(), which gave `format`.
    AudioProcessor(const ProcessorAttributes& attrs, SessionFormat format, const ModelInfo& model,
                   std::shared_ptr<Logger> log);

    // Delivers the transcript of a running key sequence, then stops the
    // output thread (see OutputThread::stop) and logs
    // destroy_audio_processor with its counts, transcripts_dropped among
    // them. In a child forked since it was made it is abandoned instead
    // (see common/fork_epoch.h): nothing is delivered, locked or logged.
    ~AudioProcessor() override;

    // Refuses with std::invalid_argument a frame whose value count is not a
    // multiple of the channel count, or a null pointer with a non-zero
    // count; the processor stays usable. A call that fails for lack of
    // memory changes nothing. Calls from several threads are serialised.
    // Refused with std::logic_error in a child forked since it was made.
    AudioFrame ProcessFrame(const AudioFrame& frame) override;

private:
    // Logs a warning when a post began a run of dropped transcripts (see
    // OutputThread::kQueueCapacity); never throws std::exception.
    void note_drops(bool drops_began);

    const ForkEpoch epoch_;
    const std::shared_ptr<Logger> log_;
    const std::string model_name_;
    const SessionFormat format_;
    const size_t min_frames_;

    std::mutex mutex_;
    StreamEngine engine_;
    std::optional<DtmfTranslation> translation_;
    std::vector<float> output_;
    uint64_t frames_accepted_ = 0;
    uint64_t frames_emitted_ = 0;
    uint64_t calls_dropped_ = 0;

    // Declared last: destroyed first, so its thread ends before the rest.
    OutputThread output_thread_;
};

}  // namespace tavix::sdk
