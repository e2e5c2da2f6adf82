// Drives the SDK from many threads at once, for ThreadSanitizer: processors of
// every kind (passthrough, denoise, translation; cloud and local path) run on
// their own threads while their pipeline-state and transcript callbacks
// fire; two threads share one processor, each call under the host's own lock
// (the SDK does not serialise calls into one processor for its host); the session is re-activated and queried meanwhile; the root
// object goes while processors still run; processors are torn down while
// their callbacks are still being delivered, one of them behind a callback
// so slow that its queue overflows. Exits 0 when everything also came out
// right (states in order, every key sequence transcribed), 1 otherwise.
//
//   tavix_sdk_thread_check <storage_dir>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tavix/TavixSdk.h"

using namespace tavix;

namespace {

constexpr const char* kDemoKey = "tvx1-demo-all-never-13c5b659";
constexpr uint32_t kRate = 16000;
constexpr uint32_t kFrame = kRate / 50;  // 20 ms, per channel
constexpr double kTwoPi = 6.283185307179586;
constexpr auto kPatience = std::chrono::seconds(30);  // a hang, not a slow run

std::atomic<bool> g_failed{false};

void expect(bool condition, const std::string& what) {
    if (condition) return;
    std::fprintf(stderr, "failed: %s\n", what.c_str());
    g_failed = true;
}

// What the callbacks of one processor saw.
struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PipelineState> states;
    std::vector<std::string> completes;  // complete TRANSCRIPTION texts, in order
    size_t texts = 0;
    bool in_order = true;  // per type and utterance, each update extends the last
    std::map<std::pair<int, uint32_t>, size_t> lengths;
    std::chrono::microseconds delay{0};  // a slow consumer
    bool held = false;                   // the first transcript waits for release()

    void on_state(PipelineState state) {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
        changed.notify_all();
    }

    void on_text(TextFrame&& frame) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return !held; });
        const TranscriptData& data = frame.transcript_data_;
        const bool complete = !data.complete.empty();
        const TranscriptSegment& segment = complete ? data.complete.front() : data.partial.front();
        size_t& length = lengths[{static_cast<int>(frame.type_), data.utterance_idx}];
        if (segment.text.size() < length) in_order = false;
        length = segment.text.size();
        if (complete && frame.type_ == TranscriptType::kTranscription)
            completes.push_back(segment.text);
        ++texts;
        changed.notify_all();
        lock.unlock();
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
    }

    bool wait_for_state(PipelineState state) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] {
            for (PipelineState seen : states)
                if (seen == state) return true;
            return false;
        });
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        held = false;
        changed.notify_all();
    }
};

ProcessorAttributes attributes(const std::shared_ptr<Probe>& probe, const std::string& model,
                               bool cloud, uint16_t channels = 1, bool pcm16 = false) {
    ProcessorAttributes attrs;
    AudioAttributes& audio = attrs.audio_attributes;
    audio.sampling_rate = kRate;
    audio.channels = channels;
    audio.model_name = model;
    audio.cloud_inferencing = cloud;
    audio.cloud_inferencing_params.use_pcm16 = pcm16;
    audio.audio_pipeline_state_notify = [probe](PipelineState state) { probe->on_state(state); };
    return attrs;
}

ProcessorAttributes translation(const std::shared_ptr<Probe>& probe, bool cloud,
                                uint16_t channels = 1) {
    ProcessorAttributes attrs = attributes(probe, "", cloud, channels);
    attrs.lt_config.emplace();
    attrs.lt_config->language_in = "en-US";
    attrs.lt_config->language_out = "fr-FR";
    attrs.lt_config->callback = [probe](TextFrame&& frame) { probe->on_text(std::move(frame)); };
    return attrs;
}

std::vector<float> noise(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-0.3f, 0.3f);
    std::vector<float> samples(count);
    for (float& s : samples) s = uniform(random);
    return samples;
}

// Each sequence's keys (80 ms tone, 80 ms pause each) and then 700 ms of
// silence, which ends the sequence; whole 20 ms frames, interleaved to
// `channels`.
std::vector<float> key_sequences(const std::vector<std::string>& sequences, uint16_t channels) {
    static const char* const kRows[] = {"123A", "456B", "789C", "*0#D"};
    static const double kLow[] = {697, 770, 852, 941};
    static const double kHigh[] = {1209, 1336, 1477, 1633};
    const size_t tone = kRate * 80 / 1000, pause = tone, tail = kRate * 700 / 1000;
    std::vector<float> mono(kRate / 10, 0.0f);
    for (const std::string& keys : sequences) {
        for (char key : keys) {
            double low = 0, high = 0;
            for (int row = 0; row < 4; ++row)
                for (int column = 0; column < 4; ++column)
                    if (kRows[row][column] == key) low = kLow[row], high = kHigh[column];
            for (size_t i = 0; i < tone; ++i) {
                double t = static_cast<double>(i) / kRate;
                mono.push_back(static_cast<float>(
                    0.2 * (std::sin(kTwoPi * low * t) + std::sin(kTwoPi * high * t))));
            }
            mono.insert(mono.end(), pause, 0.0f);
        }
        mono.insert(mono.end(), tail, 0.0f);
    }
    mono.resize((mono.size() + kFrame - 1) / kFrame * kFrame, 0.0f);  // whole frames
    std::vector<float> out;
    out.reserve(mono.size() * channels);
    for (float s : mono) out.insert(out.end(), channels, s);
    return out;
}

// Pushes `samples` in 20 ms frames; returns the frames (per channel) emitted.
size_t stream(IAudioProcessor& processor, std::vector<float> samples, uint16_t channels) {
    const size_t step = kFrame * channels;
    size_t emitted = 0;
    for (size_t at = 0; at + step <= samples.size(); at += step)
        emitted += processor.ProcessFrame({samples.data() + at, static_cast<uint32_t>(step)})
                       .frame_count / channels;
    return emitted;
}

void expect_states(Probe& probe, const std::string& name) {
    std::lock_guard<std::mutex> lock(probe.mutex);
    expect(probe.states == std::vector<PipelineState>{PipelineState::kTrying,
                                                      PipelineState::kRunning,
                                                      PipelineState::kNotRunning},
           name + ": TRYING, RUNNING, NOT_RUNNING");
}

void expect_transcribed(Probe& probe, const std::vector<std::string>& sequences,
                        const std::string& name) {
    std::lock_guard<std::mutex> lock(probe.mutex);
    expect(probe.completes == sequences, name + ": every key sequence transcribed");
    expect(probe.in_order, name + ": updates in order");
}

// A processor on the cloud path, fed once its pipeline runs.
void cloud_model(std::shared_ptr<ITavixSdk> sdk, std::string model, bool pcm16, unsigned seed) {
    auto probe = std::make_shared<Probe>();
    std::unique_ptr<IAudioProcessor> processor =
        sdk->CreateAudioProcessor(attributes(probe, model, true, 1, pcm16));
    sdk.reset();
    if (!processor) return expect(false, model + " (cloud): created");
    stream(*processor, noise(kFrame * 10, seed), 1);  // before RUNNING: passes unprocessed
    expect(probe->wait_for_state(PipelineState::kRunning), model + " (cloud): RUNNING");
    stream(*processor, noise(kRate, seed + 1), 1);
    processor.reset();
    expect_states(*probe, model + " (cloud)");
}

void local_denoise(std::shared_ptr<ITavixSdk> sdk) {
    auto probe = std::make_shared<Probe>();
    std::unique_ptr<IAudioProcessor> processor =
        sdk->CreateAudioProcessor(attributes(probe, "denoise", false, 2));
    sdk.reset();
    if (!processor) return expect(false, "denoise (local, stereo): created");
    const size_t emitted = stream(*processor, noise(kRate * 2, 11), 2);
    expect(emitted == kRate - (kRate / 25 + kRate / 50), "denoise (local): output lags by 60 ms");
}

// Keys on the cloud path once it runs; torn down as the last update arrives.
void cloud_translation(std::shared_ptr<ITavixSdk> sdk) {
    const std::vector<std::string> sequences = {"147*", "0#"};
    auto probe = std::make_shared<Probe>();
    std::unique_ptr<IAudioProcessor> processor = sdk->CreateAudioProcessor(translation(probe, true));
    sdk.reset();
    if (!processor) return expect(false, "translation (cloud): created");
    expect(probe->wait_for_state(PipelineState::kRunning), "translation (cloud): RUNNING");
    stream(*processor, key_sequences(sequences, 1), 1);
    processor.reset();
    expect_states(*probe, "translation (cloud)");
    expect_transcribed(*probe, sequences, "translation (cloud)");
}

// The consumer is stuck in its first transcript while keys keep coming, so
// the queue overflows and drops partials as the output thread wakes; then
// torn down at once with the backlog still queued.
void overflowing_translation(std::shared_ptr<ITavixSdk> sdk) {
    const std::vector<std::string> sequences = {"123456789012", "*#ABCD0987", "55555",
                                                "1234567890ABCD*#"};
    auto probe = std::make_shared<Probe>();
    probe->held = true;
    probe->delay = std::chrono::microseconds(300);
    std::unique_ptr<IAudioProcessor> processor =
        sdk->CreateAudioProcessor(translation(probe, false, 2));
    sdk.reset();
    if (!processor) return expect(false, "translation (local, stereo): created");
    const std::vector<float> keys = key_sequences(sequences, 2);
    // The last 30 frames (silence, in which the last sequence ends) arrive
    // while the queue drains.
    const size_t held_part = keys.size() - 30 * 2 * kFrame;
    stream(*processor, std::vector<float>(keys.begin(), keys.begin() + held_part), 2);
    probe->release();
    stream(*processor, std::vector<float>(keys.begin() + held_part, keys.end()), 2);
    processor.reset();
    expect_transcribed(*probe, sequences, "translation (overflowing)");
}

// One processor shared by a host's threads. The SDK leaves serialising calls
// into one processor to its host, and its output is valid only until the next
// call, so each call copies the output out before the lock is let go.
class SharedProcessor {
public:
    explicit SharedProcessor(std::unique_ptr<IAudioProcessor> processor)
        : processor_(std::move(processor)) {}

    size_t push(const AudioFrame& input) {
        std::lock_guard<std::mutex> hold(mutex_);
        const AudioFrame output = processor_->ProcessFrame(input);
        copied_.assign(output.samples, output.samples + (output.samples ? output.frame_count : 0));
        return copied_.size();
    }

private:
    std::mutex mutex_;
    std::unique_ptr<IAudioProcessor> processor_;
    std::vector<float> copied_;
};

// Two threads push into one processor.
void shared_processor(std::shared_ptr<ITavixSdk> sdk, bool translate) {
    auto probe = std::make_shared<Probe>();
    std::unique_ptr<IAudioProcessor> created = sdk->CreateAudioProcessor(
        translate ? translation(probe, true) : attributes(probe, "passthrough", true));
    sdk.reset();
    if (!created) return expect(false, "shared processor: created");
    auto processor = std::make_shared<SharedProcessor>(std::move(created));
    expect(probe->wait_for_state(PipelineState::kRunning), "shared processor: RUNNING");
    constexpr int kCalls = 60;
    std::atomic<size_t> emitted{0};
    auto push = [&](unsigned seed) {
        std::vector<float> samples =
            translate ? key_sequences({"2580"}, 1) : noise(kFrame * kCalls, seed);
        for (int i = 0; i < kCalls; ++i) {
            const size_t at = (i * kFrame) % (samples.size() - kFrame + 1);
            emitted += processor->push({samples.data() + at, kFrame});
        }
    };
    std::thread other(push, 21);
    push(22);
    other.join();
    processor.reset();
    expect_states(*probe, translate ? "shared translation" : "shared passthrough");
    // Keys come with silence, which the engine holds back; noise does not.
    if (!translate)
        expect(emitted == 2 * kCalls * kFrame - kRate / 25,
               "shared passthrough: every accepted frame came out, 40 ms late");
}

// Re-activation and queries while processors are made and run.
void session_traffic(std::shared_ptr<ITavixSdk> sdk) {
    for (int i = 0; i < 8; ++i) {
        expect(sdk->ActivateApiKey(kDemoKey).success, "re-activation");
        expect(sdk->IsActivated(), "still activated");
        expect(!sdk->GetEntitledModels().empty(), "entitled models");
        expect(!sdk->GetAvailableModels().empty(), "available models");
        expect(!sdk->GetVersion().empty(), "version");
    }
}

// One round: every scenario at once on a fresh root object.
void run_round(const std::string& storage) {
    InitParams params;
    params.storage_dir = storage;
    params.models_dir = storage + "/no-models";
    std::atomic<int> activations{0};
    params.on_activated = [&] { ++activations; };
    std::shared_ptr<ITavixSdk> sdk = CreateTavixSdk(params);
    if (!sdk->ActivateApiKey(kDemoKey).success) return expect(false, "activation");

    std::vector<std::thread> threads;
    threads.emplace_back(session_traffic, sdk);
    threads.emplace_back(cloud_model, sdk, "passthrough", false, 1);
    threads.emplace_back(cloud_model, sdk, "denoise", true, 2);
    threads.emplace_back(local_denoise, sdk);
    threads.emplace_back(cloud_translation, sdk);
    threads.emplace_back(overflowing_translation, sdk);
    threads.emplace_back(shared_processor, sdk, false);
    threads.emplace_back(shared_processor, sdk, true);
    // The root goes on whichever thread lets go of it last, while processors
    // made from it still run.
    sdk.reset();
    for (std::thread& thread : threads) thread.join();
    expect(activations == 9, "on_activated once per activation");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <storage_dir>\n", argv[0]);
        return 2;
    }
    // More rounds, more interleavings: still about a second under TSan.
    constexpr int kRounds = 4;
    for (int i = 0; i < kRounds && !g_failed; ++i) run_round(argv[1]);
    if (g_failed) return 1;
    std::puts("ok");
    return 0;
}
