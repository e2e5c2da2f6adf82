// Releases processors the way a native host must when it decides to inside
// one of their own callbacks: the callback takes the last reference and hands
// it to another thread, since destroying a processor on its own output thread
// cannot join that thread (our SDK aborts there, the vendor's deadlocks).
// Rounds run after the root object is gone and with callbacks that throw.
// Exits 0 when every round's release went through (on the state callback,
// NOT_RUNNING still came after it) and nothing hung or crashed.
//
//   tavix_sdk_self_release_check <storage_dir>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tavix/TavixSdk.h"

using namespace tavix;

namespace {

constexpr const char* kDemoKey = "tvx1-demo-all-never-13c5b659";
constexpr int kRounds = 10;
constexpr double kTwoPi = 6.283185307179586;

struct Round {
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<IAudioProcessor> processor;
    std::thread releaser;
    bool stopped = false;

    // From a callback: the destructor joins the output thread, which can
    // only end once this callback has returned, so it runs elsewhere.
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        if (processor)
            releaser = std::thread([last = std::move(processor)]() mutable { last.reset(); });
    }

    void mark_stopped() {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        changed.notify_all();
    }

    // Whether the round ended; the releaser is joined either way.
    bool wait_stopped() {
        bool ended;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ended = changed.wait_for(lock, std::chrono::seconds(10), [this] { return stopped; });
        }
        if (releaser.joinable()) releaser.join();
        return ended;
    }
};

std::shared_ptr<ITavixSdk> activated_sdk(const char* storage) {
    InitParams params;
    params.storage_dir = storage;
    params.models_dir = std::string(storage) + "/no-models";
    std::shared_ptr<ITavixSdk> sdk = CreateTavixSdk(params);
    if (!sdk->ActivateApiKey(kDemoKey).success) throw std::runtime_error("activation failed");
    return sdk;
}

// The pipeline-state callback drops the processor when it starts running.
bool release_on_running(const char* storage) {
    auto round = std::make_shared<Round>();
    ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = "denoise";
    attrs.audio_attributes.audio_pipeline_state_notify = [round](PipelineState state) {
        if (state == PipelineState::kRunning) round->release();
        if (state == PipelineState::kNotRunning) {
            round->mark_stopped();
            throw std::runtime_error("a throwing callback must not reach the SDK");
        }
    };
    {
        std::shared_ptr<ITavixSdk> sdk = activated_sdk(storage);
        round->processor = sdk->CreateAudioProcessor(attrs);
    }  // the root goes first
    std::vector<float> samples(640, 0.1f);
    {
        std::lock_guard<std::mutex> lock(round->mutex);
        if (round->processor) round->processor->ProcessFrame({samples.data(), 640});
    }
    return round->wait_stopped();
}

// The transcript callback drops the processor at the first key it hears.
bool release_on_text(const char* storage) {
    auto round = std::make_shared<Round>();
    ProcessorAttributes attrs;
    attrs.audio_attributes.cloud_inferencing = false;
    attrs.lt_config.emplace();
    attrs.lt_config->language_in = "en-US";
    attrs.lt_config->language_out = "de-DE";
    attrs.lt_config->callback = [round](TextFrame&&) {
        round->release();
        round->mark_stopped();
    };
    std::shared_ptr<ITavixSdk> sdk = activated_sdk(storage);
    round->processor = sdk->CreateAudioProcessor(attrs);
    std::vector<float> key(16000 / 5);  // 200 ms of the '1' key, then silence
    for (size_t i = 0; i < key.size(); ++i) {
        double t = static_cast<double>(i) / 16000.0;
        key[i] = static_cast<float>(0.25 * (std::sin(kTwoPi * 697 * t) +
                                            std::sin(kTwoPi * 1209 * t)));
    }
    std::vector<float> silence(320, 0.0f);
    for (int i = 0; i < 60; ++i) {
        std::lock_guard<std::mutex> lock(round->mutex);
        if (!round->processor) break;
        if (i == 0)
            round->processor->ProcessFrame({key.data(), static_cast<uint32_t>(key.size())});
        else
            round->processor->ProcessFrame({silence.data(), 320});
    }
    return round->wait_stopped();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <storage_dir>\n", argv[0]);
        return 2;
    }
    for (int i = 0; i < kRounds; ++i) {
        if (!release_on_running(argv[1])) {
            std::fprintf(stderr, "round %d: no NOT_RUNNING after a release on RUNNING\n", i);
            return 1;
        }
        if (!release_on_text(argv[1])) {
            std::fprintf(stderr, "round %d: no transcript before the release\n", i);
            return 1;
        }
    }
    std::puts("ok");
    return 0;
}
