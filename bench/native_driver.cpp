// The native side of bench/run.py: the same SDK calls the binding makes, from
// C++, loaded with ctypes into the benchmark's own process so that both sides
// run on the same libTavixSdk.so, the same allocator and the same caches.
// Every entry point is extern "C" and never lets an exception out; a failure
// returns a null or negative value and leaves its message in tbd_error().
// ctypes releases the interpreter lock around each call, so Python threads
// run freely meanwhile.

#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tavix/TavixSdk.h"

namespace {

thread_local std::string last_error;

// CLOCK_MONOTONIC, like Python's time.perf_counter_ns on Linux, so times from
// both sides can be compared directly.
int64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

template <typename F>
auto guarded(F&& body, decltype(body()) failed) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& error) {
        last_error = error.what();
    } catch (...) {
        last_error = "unknown exception";
    }
    return failed;
}

struct Sdk {
    std::shared_ptr<tavix::ITavixSdk> root;
};

// What the callbacks write. Shared with the SDK's copies of the callbacks, so
// it outlives the processor whatever the order of teardown.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    int state = 0;

    // Arrival times of transcripts, in order; sized up front so that the
    // callback never allocates (a reallocation would stall its thread).
    std::vector<int64_t> arrivals;
    std::atomic<size_t> count{0};

    // A burst: its first transcript waits for `open`, so that the rest queue
    // up behind it; the one that makes `expected` wakes the waiting caller.
    std::atomic<bool> hold{false};
    bool open = false;
    std::atomic<size_t> expected{0};
};

// One processor's pipeline states: TRYING waits for `open`, and the start of
// TRYING's return and of RUNNING are stamped.
struct StateGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::atomic<int> calls{0};
    int64_t stamps[2] = {0, 0};
};

struct Processor {
    std::shared_ptr<Events> events;
    std::unique_ptr<tavix::IAudioProcessor> processor;
};

// A start line for threads, so that thread creation stays out of the timing.
class StartLine {
public:
    explicit StartLine(int parties) : waiting_(parties) {}
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0) {
            go_.notify_all();
            return;
        }
        go_.wait(lock, [this] { return waiting_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable go_;
    int waiting_;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* tbd_error() { return last_error.c_str(); }

// Which file CreateTavixSdk was bound to in this process: the benchmark
// checks it is the one the module loaded.
__attribute__((visibility("default"))) int tbd_sdk_library(char* buffer, size_t size) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&tavix::CreateTavixSdk), &info) || !info.dli_fname)
        return -1;
    std::strncpy(buffer, info.dli_fname, size - 1);
    buffer[size - 1] = '\0';
    return 0;
}

__attribute__((visibility("default"))) void* tbd_sdk_create(const char* storage_dir,
                                                            const char* models_dir,
                                                            const char* key) {
    return guarded(
        [&]() -> void* {
            tavix::InitParams params;
            params.storage_dir = storage_dir;
            params.models_dir = models_dir;
            params.app_name = "tavix-bench-native";
            auto sdk = std::make_unique<Sdk>();
            sdk->root = tavix::CreateTavixSdk(params);
            tavix::SdkResult result = sdk->root->ActivateApiKey(key);
            if (!result.success) {
                last_error = "activation failed: " + result.message;
                return nullptr;
            }
            return sdk.release();
        },
        nullptr);
}

__attribute__((visibility("default"))) void tbd_sdk_destroy(void* sdk) {
    delete static_cast<Sdk*>(sdk);
}

// model empty with `translation` set gives the translation pipeline
// (en-US to es-ES); `transcript_capacity` arrivals are recorded at most.
__attribute__((visibility("default"))) void* tbd_processor_create(void* sdk_handle,
                                                                  const char* model,
                                                                  uint32_t rate, uint16_t channels,
                                                                  int cloud, int translation,
                                                                  size_t transcript_capacity) {
    return guarded(
        [&]() -> void* {
            auto* sdk = static_cast<Sdk*>(sdk_handle);
            auto events = std::make_shared<Events>();
            events->arrivals.resize(transcript_capacity);
            tavix::ProcessorAttributes attrs;
            attrs.audio_attributes.sampling_rate = rate;
            attrs.audio_attributes.channels = channels;
            attrs.audio_attributes.model_name = model;
            attrs.audio_attributes.cloud_inferencing = cloud != 0;
            attrs.audio_attributes.audio_pipeline_state_notify = [events](tavix::PipelineState s) {
                std::lock_guard<std::mutex> lock(events->mutex);
                events->state = static_cast<int>(s);
                events->changed.notify_all();
            };
            if (translation) {
                tavix::LanguageTranslationConfig lt;
                lt.language_in = "en-US";
                lt.language_out = "es-ES";
                lt.callback = [events](tavix::TextFrame&&) {
                    if (events->hold.load(std::memory_order_acquire)) {
                        std::unique_lock<std::mutex> lock(events->mutex);
                        events->changed.wait(lock, [&] { return events->open; });
                        events->hold.store(false, std::memory_order_relaxed);
                    }
                    const int64_t arrived = now_ns();
                    const size_t at = events->count.load(std::memory_order_relaxed);
                    if (at < events->arrivals.size()) events->arrivals[at] = arrived;
                    events->count.store(at + 1, std::memory_order_release);
                    if (at + 1 == events->expected.load(std::memory_order_relaxed)) {
                        std::lock_guard<std::mutex> lock(events->mutex);
                        events->changed.notify_all();
                    }
                };
                attrs.lt_config = std::move(lt);
            }
            auto processor = std::make_unique<Processor>();
            processor->events = events;
            processor->processor = sdk->root->CreateAudioProcessor(attrs);
            if (!processor->processor) {
                last_error = "CreateAudioProcessor returned no processor";
                return nullptr;
            }
            return processor.release();
        },
        nullptr);
}

__attribute__((visibility("default"))) void tbd_processor_destroy(void* processor) {
    delete static_cast<Processor*>(processor);
}

// 1 once the pipeline reported `state`, 0 after `timeout_ms` without it.
__attribute__((visibility("default"))) int tbd_wait_state(void* handle, int state,
                                                          int timeout_ms) {
    Events& events = *static_cast<Processor*>(handle)->events;
    std::unique_lock<std::mutex> lock(events.mutex);
    return events.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return events.state == state; })
               ? 1
               : 0;
}

// Nanoseconds for `iterations` ProcessFrame calls of the same input.
__attribute__((visibility("default"))) int64_t tbd_process_loop(void* handle,
                                                                const float* samples,
                                                                uint32_t count,
                                                                int64_t iterations) {
    return guarded(
        [&]() -> int64_t {
            tavix::IAudioProcessor& processor = *static_cast<Processor*>(handle)->processor;
            const tavix::AudioFrame input{const_cast<float*>(samples), count};
            volatile uint32_t sink = 0;
            const int64_t start = now_ns();
            for (int64_t i = 0; i < iterations; ++i) sink = sink + processor.ProcessFrame(input).frame_count;
            return now_ns() - start;
        },
        int64_t{-1});
}

// `threads` threads, each `iterations` ProcessFrame calls into its own
// processor with its own input. Start and end times of each go to `starts`
// and `ends`; returns 0, or -1 when a call failed.
__attribute__((visibility("default"))) int tbd_threads_loop(void** handles, const float** samples,
                                                            uint32_t count, int threads,
                                                            int64_t iterations, int64_t* starts,
                                                            int64_t* ends) {
    return guarded(
        [&]() -> int {
            StartLine line(threads);
            std::atomic<bool> failed{false};
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t] {
                    try {
                        tavix::IAudioProcessor& processor =
                            *static_cast<Processor*>(handles[t])->processor;
                        const tavix::AudioFrame input{const_cast<float*>(samples[t]), count};
                        line.arrive();
                        starts[t] = now_ns();
                        for (int64_t i = 0; i < iterations; ++i) processor.ProcessFrame(input);
                        ends[t] = now_ns();
                    } catch (...) {
                        failed = true;
                    }
                });
            }
            for (std::thread& worker : workers) worker.join();
            if (failed) {
                last_error = "ProcessFrame threw on a worker thread";
                return -1;
            }
            return 0;
        },
        -1);
}

// Pushes `chunks` consecutive frames of `chunk` floats from `samples`,
// recording in push_times[i] the moment just before the i-th ProcessFrame,
// and spends `window_ns` after each push: asleep (idle) when `busy` is null,
// else calling ProcessFrame on `busy` with `busy_samples` back to back.
// Afterwards it goes on, the same way, with frames of `silence` until
// `expected` transcripts arrived or `extra` more frames were pushed; those
// pushes are recorded too, up to push_capacity in all. Returns the number of
// pushes.
__attribute__((visibility("default"))) int64_t tbd_latency_run(
    void* handle, const float* samples, uint32_t chunk, int64_t chunks, const float* silence,
    int64_t extra, int64_t window_ns, void* busy, const float* busy_samples, uint32_t busy_count,
    size_t expected, int64_t* push_times, int64_t push_capacity) {
    return guarded(
        [&]() -> int64_t {
            auto* processor = static_cast<Processor*>(handle);
            Events& events = *processor->events;
            const timespec pause{window_ns / 1000000000, window_ns % 1000000000};
            const tavix::AudioFrame busy_input{const_cast<float*>(busy_samples), busy_count};
            int64_t pushed = 0;
            auto push = [&](const float* from) {
                const tavix::AudioFrame input{const_cast<float*>(from), chunk};
                const int64_t at = now_ns();
                processor->processor->ProcessFrame(input);
                if (pushed < push_capacity) push_times[pushed] = at;
                ++pushed;
                if (busy == nullptr) {
                    nanosleep(&pause, nullptr);
                    return;
                }
                tavix::IAudioProcessor& other = *static_cast<Processor*>(busy)->processor;
                while (now_ns() - at < window_ns) other.ProcessFrame(busy_input);
            };
            for (int64_t i = 0; i < chunks; ++i) push(samples + i * chunk);
            for (int64_t i = 0; i < extra && events.count.load(std::memory_order_acquire) < expected;
                 ++i)
                push(silence);
            return pushed;
        },
        int64_t{-1});
}

// The native floor of a transcript callback: pushes `samples` (a frame whose
// processing queues `expected` transcripts at once) while the first of them
// is held, lets it go, waits idle for the rest and returns the mean gap
// between their arrivals in nanoseconds, the first gap left out.
__attribute__((visibility("default"))) int64_t tbd_transcript_burst(void* handle,
                                                                    const float* samples,
                                                                    uint32_t count,
                                                                    size_t expected) {
    return guarded(
        [&]() -> int64_t {
            auto* processor = static_cast<Processor*>(handle);
            Events& events = *processor->events;
            if (expected < 3 || expected > events.arrivals.size()) {
                last_error = "burst larger than the arrival record";
                return -1;
            }
            events.count.store(0);
            events.expected.store(expected);
            {
                std::lock_guard<std::mutex> lock(events.mutex);
                events.open = false;
            }
            events.hold.store(true, std::memory_order_release);
            processor->processor->ProcessFrame(tavix::AudioFrame{const_cast<float*>(samples), count});
            std::unique_lock<std::mutex> lock(events.mutex);
            events.open = true;
            events.changed.notify_all();
            if (!events.changed.wait_for(lock, std::chrono::seconds(10), [&] {
                    return events.count.load(std::memory_order_acquire) >= expected;
                })) {
                last_error = "transcripts missing after a burst";
                return -1;
            }
            return (events.arrivals[expected - 1] - events.arrivals[1]) /
                   static_cast<int64_t>(expected - 2);
        },
        int64_t{-1});
}

// The native floor of a pipeline-state callback: `processors` cloud
// processors are made with TRYING held until RUNNING is overdue, then let go
// one at a time; gaps[i] gets, in nanoseconds, the time from the end of
// processor i's TRYING callback to the start of its RUNNING callback.
__attribute__((visibility("default"))) int tbd_state_gaps(void* sdk_handle, int processors,
                                                          int64_t* gaps) {
    return guarded(
        [&]() -> int {
            auto* sdk = static_cast<Sdk*>(sdk_handle);
            std::vector<std::shared_ptr<StateGate>> gates;
            std::vector<std::unique_ptr<tavix::IAudioProcessor>> opened;
            for (int i = 0; i < processors; ++i) {
                auto gate = std::make_shared<StateGate>();
                tavix::ProcessorAttributes attrs;
                attrs.audio_attributes.model_name = "passthrough";
                attrs.audio_attributes.audio_pipeline_state_notify = [gate](tavix::PipelineState) {
                    const int call = gate->calls.load(std::memory_order_acquire);
                    if (call == 0) {
                        std::unique_lock<std::mutex> lock(gate->mutex);
                        gate->changed.wait(lock, [&] { return gate->open; });
                    }
                    if (call < 2) gate->stamps[call] = now_ns();
                    gate->calls.store(call + 1, std::memory_order_release);
                };
                opened.push_back(sdk->root->CreateAudioProcessor(attrs));
                if (!opened.back()) {
                    last_error = "CreateAudioProcessor returned no processor";
                    return -1;
                }
                gates.push_back(std::move(gate));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            for (auto& gate : gates) {
                {
                    std::lock_guard<std::mutex> lock(gate->mutex);
                    gate->open = true;
                }
                gate->changed.notify_all();
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            for (auto& gate : gates)
                while (gate->calls.load(std::memory_order_acquire) < 2) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        last_error = "RUNNING did not follow TRYING";
                        return -1;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            for (int i = 0; i < processors; ++i) gaps[i] = gates[i]->stamps[1] - gates[i]->stamps[0];
            return 0;
        },
        -1);
}

// Copies up to `capacity` recorded transcript arrival times; returns how many
// transcripts arrived in all (possibly more than were recorded).
__attribute__((visibility("default"))) int64_t tbd_transcripts(void* handle, int64_t* times,
                                                               int64_t capacity) {
    Events& events = *static_cast<Processor*>(handle)->events;
    const size_t count = events.count.load(std::memory_order_acquire);
    const size_t copied = std::min<size_t>({count, events.arrivals.size(), size_t(capacity)});
    for (size_t i = 0; i < copied; ++i) times[i] = events.arrivals[i];
    return static_cast<int64_t>(count);
}

}  // extern "C"
