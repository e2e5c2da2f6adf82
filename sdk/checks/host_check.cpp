// What a host may do to the SDK at the edges of its contract, one case per run:
//
// - Callbacks that end their own thread with pthread_exit, as a host runtime
//   that is shutting down may do. The forced
//   unwind must pass through the SDK to the thread's entry: swallowing it,
//   or meeting a noexcept frame on the way, aborts the process ("exception
//   not rethrown"). The thread must end, the SDK and its processors keep
//   working, and teardown neither hangs nor crashes.
// - A storage_dir or models_dir with an embedded NUL, which the SDK must
//   refuse before it creates or reads anything.
// - Text that is not UTF-8 in the log: it must stay one line per operation.
// - A processor destroyed inside its own callback, on its output thread,
//   which cannot join that thread: the SDK must abort the process at once
//   with a message naming the mistake (in a child process, whose death is
//   what the case expects), so that a host that does so fails here rather
//   than deadlock on the vendor's library. A callback that hands the
//   release to another thread is what a host does instead.
//
//   tavix_sdk_host_check <storage_dir> <case>
//   tavix_sdk_host_check --list       (the cases, one a line)
//
// Exits 0 and prints "ok" when the case held; 1 with the reason otherwise.
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tavix/TavixSdk.h"

using namespace tavix;

namespace {

constexpr const char* kDemoKey = "tvx1-demo-all-never-13c5b659";
constexpr const char* kMistypedKey = "tvx1-demo-all-never-00000000";
constexpr uint32_t kRate = 16000;
constexpr uint32_t kFrame = kRate / 50;  // 20 ms
constexpr double kTwoPi = 6.283185307179586;

std::string g_storage;

[[noreturn]] void end_this_thread() { pthread_exit(nullptr); }

bool expect(bool condition, const std::string& what) {
    if (!condition) std::fprintf(stderr, "failed: %s\n", what.c_str());
    return condition;
}

std::shared_ptr<ITavixSdk> make_sdk(InitParams params = {}) {
    params.storage_dir = g_storage;
    params.models_dir = g_storage + "/no-models";
    return CreateTavixSdk(params);
}

std::shared_ptr<ITavixSdk> activated_sdk() {
    std::shared_ptr<ITavixSdk> sdk = make_sdk();
    return sdk->ActivateApiKey(kDemoKey).success ? sdk : nullptr;
}

// Key '1' (80 ms of its two tones), then 80 ms of silence: one transcript
// update per call once the key has ended.
std::vector<float> key_then_pause() {
    std::vector<float> samples(kRate * 160 / 1000, 0.0f);
    for (size_t i = 0; i < kRate * 80 / 1000; ++i) {
        double t = static_cast<double>(i) / kRate;
        samples[i] = static_cast<float>(0.2 * (std::sin(kTwoPi * 697 * t) +
                                               std::sin(kTwoPi * 1209 * t)));
    }
    return samples;
}

// The translation pipeline on the local path; the caller sets the callback.
ProcessorAttributes local_translation(const std::string& language_in,
                                      const std::string& language_out) {
    ProcessorAttributes attrs;
    attrs.audio_attributes.cloud_inferencing = false;
    attrs.lt_config.emplace();
    attrs.lt_config->language_in = language_in;
    attrs.lt_config->language_out = language_out;
    return attrs;
}

AudioFrame frame_of(std::vector<float>& samples) {
    return {samples.data(), static_cast<uint32_t>(samples.size())};
}

// The transcripts_dropped count of the last processor torn down.
long last_transcripts_dropped() {
    std::ifstream log(g_storage + "/logs/tavix.log");
    std::string line, last;
    while (std::getline(log, line))
        if (line.find("destroy_audio_processor") != std::string::npos) last = line;
    size_t at = last.find("transcripts_dropped=");
    return at == std::string::npos ? -1 : std::stol(last.substr(at + 20));
}

// on_error and on_activated run on the caller's thread; each ends it.
bool activation_callback_ends_its_caller() {
    std::atomic<int> ended{0};
    std::atomic<bool> returned{false};
    InitParams params;
    params.on_error = [&](SdkErrorType, const std::string&) { ++ended; end_this_thread(); };
    params.on_activated = [&] { ++ended; end_this_thread(); };
    std::shared_ptr<ITavixSdk> sdk = make_sdk(params);
    for (const char* key : {kMistypedKey, kDemoKey})
        std::thread([&, key] { sdk->ActivateApiKey(key); returned = true; }).join();
    if (!expect(ended == 2, "on_error and on_activated each ran once") ||
        !expect(!returned, "a call returned past a callback that ended its thread") ||
        !expect(sdk->IsActivated(), "the activation whose callback ended its caller stood"))
        return false;
    ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = "passthrough";
    attrs.audio_attributes.cloud_inferencing = false;
    std::unique_ptr<IAudioProcessor> processor = sdk->CreateAudioProcessor(attrs);
    std::vector<float> samples(kFrame, 0.1f);
    return expect(processor != nullptr, "the SDK still makes processors") &&
           (processor->ProcessFrame(frame_of(samples)), true);
}

// The pipeline-state callback ends the output thread when `fatal` arrives;
// the processor keeps processing and is torn down without NOT_RUNNING.
bool state_callback_ends_the_output_thread(PipelineState fatal) {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!expect(sdk != nullptr, "activation")) return false;
    std::atomic<int> calls{0};
    std::atomic<bool> ended{false};
    ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = "denoise";
    attrs.audio_attributes.audio_pipeline_state_notify = [&, fatal](PipelineState state) {
        ++calls;
        if (state == fatal) {
            ended = true;
            end_this_thread();
        }
    };
    std::unique_ptr<IAudioProcessor> processor = sdk->CreateAudioProcessor(attrs);
    std::vector<float> samples(kFrame, 0.1f);
    size_t emitted = 0;
    for (int i = 0; i < 2000 && !(ended && emitted > 0); ++i) {
        emitted += processor->ProcessFrame(frame_of(samples)).frame_count;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    processor.reset();
    const int expected_calls = fatal == PipelineState::kTrying ? 1 : 2;
    return expect(ended, "the callback ended its thread") &&
           expect(emitted > 0, "the processor kept processing") &&
           expect(calls == expected_calls, "no state was reported after the thread ended");
}

// The transcript callback ends the output thread at the first transcript;
// what is posted afterwards is counted as dropped, not queued forever.
bool transcript_callback_ends_the_output_thread() {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!expect(sdk != nullptr, "activation")) return false;
    std::atomic<int> calls{0};
    ProcessorAttributes attrs = local_translation("en-US", "fr-FR");
    attrs.lt_config->callback = [&](TextFrame&&) {
        ++calls;
        end_this_thread();
    };
    std::unique_ptr<IAudioProcessor> processor = sdk->CreateAudioProcessor(attrs);
    std::vector<float> keys = key_then_pause();
    for (int i = 0; i < 12; ++i) processor->ProcessFrame(frame_of(keys));
    processor.reset();  // also posts the final update of the running sequence
    return expect(calls == 1, "one transcript reached the callback that ended its thread") &&
           expect(last_transcripts_dropped() > 0, "later transcripts were counted as dropped");
}

// The transcript callback hands the last reference to its processor to
// another thread, then ends its own: that release joins the ended thread.
bool hand_off_release_then_end() {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!expect(sdk != nullptr, "activation")) return false;
    std::mutex mutex;
    std::unique_ptr<IAudioProcessor> processor;
    std::thread releaser;
    std::atomic<bool> ended{false};
    ProcessorAttributes attrs = local_translation("de", "es");
    attrs.lt_config->callback = [&](TextFrame&&) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            releaser = std::thread([last = std::move(processor)]() mutable { last.reset(); });
        }
        ended = true;
        end_this_thread();
    };
    processor = sdk->CreateAudioProcessor(attrs);
    std::vector<float> keys = key_then_pause();
    for (int i = 0; i < 2000 && !ended; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (processor) processor->ProcessFrame(frame_of(keys));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Had the callback not run, this release stops the output thread, so
    // that `releaser` is settled either way.
    std::unique_ptr<IAudioProcessor> left;
    {
        std::lock_guard<std::mutex> lock(mutex);
        left = std::move(processor);
    }
    left.reset();
    if (releaser.joinable()) releaser.join();
    return expect(ended, "the callback handed its processor off and ended its thread");
}

// In a child process: the pipeline-state callback destroys its processor
// on the output thread once the pipeline runs. Returns only if the SDK let
// that destruction return.
void destroy_inside_own_callback() {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!sdk) return;
    std::mutex mutex;
    std::unique_ptr<IAudioProcessor> processor;
    std::atomic<bool> destroyed{false};
    ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = "passthrough";
    attrs.audio_attributes.audio_pipeline_state_notify = [&](PipelineState state) {
        if (state != PipelineState::kRunning) return;
        std::unique_ptr<IAudioProcessor> last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            last = std::move(processor);
        }
        last.reset();
        destroyed = true;
    };
    {
        std::lock_guard<std::mutex> lock(mutex);
        processor = sdk->CreateAudioProcessor(attrs);
    }
    for (int i = 0; i < 5000 && !destroyed; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// The child's stderr, until it closes; empty optional when the child has
// not ended within a minute (it was killed: a destruction that hangs).
std::optional<std::string> output_of(pid_t child, int fd) {
    std::string text;
    char buffer[512];
    for (int waited_ms = 0; waited_ms < 60000;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) {
            waited_ms += 100;
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return text;
        text.append(buffer, static_cast<size_t>(got));
    }
    kill(child, SIGKILL);
    return std::nullopt;
}

// How a child process ended: its stderr (empty optional when it hung and was
// killed) and its wait status.
struct ChildEnd {
    std::optional<std::string> said;
    int status = 0;
};

// Runs `body` in a forked child whose stderr is collected; the child exits
// with what `body` returns.
std::optional<ChildEnd> run_in_child(const std::function<int()>& body) {
    int fds[2];
    if (!expect(pipe(fds) == 0, "a pipe for the child's stderr")) return std::nullopt;
    const pid_t child = fork();
    if (!expect(child >= 0, "fork")) return std::nullopt;
    if (child == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        _exit(body());
    }
    close(fds[1]);
    ChildEnd end;
    end.said = output_of(child, fds[0]);
    close(fds[0]);
    while (waitpid(child, &end.status, 0) < 0 && errno == EINTR) {
    }
    return end;
}

bool destroying_inside_own_callback_aborts() {
    const std::optional<ChildEnd> end = run_in_child([] {
        // This abort is the expected outcome: no core file, and a sanitizer
        // that reports every abort (ASan's handle_abort) does not see it.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        std::signal(SIGABRT, SIG_DFL);
        destroy_inside_own_callback();
        return 3;
    });
    if (!end) return false;
    if (!expect(end->said.has_value(), "the destruction hung instead of aborting")) return false;
    const std::string& said = *end->said;
    const int status = end->status;
    const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                : "exit " + std::to_string(WEXITSTATUS(status));
    return expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT,
                  "the process aborted; it ended with " + how + ", stderr: " + said) &&
           expect(said.find("TavixSdk: AudioProcessor destroyed on its own output thread "
                            "(inside one of its callbacks); release it from another "
                            "thread") != std::string::npos,
                  "the abort names the mistake; stderr: " + said);
}

// NUL in storage_dir or models_dir: std::invalid_argument before anything
// is created; the path up to the NUL must not appear.
// In a child forked while a processor's output thread waits for work: the
// parent's processor and SDK are abandoned (ProcessFrame refused, destroyed
// without joining the thread the child does not have), and the child's own
// work. Returns the child's exit status: 0 when all held.
int abandoned_in_forked_child(std::shared_ptr<ITavixSdk>& sdk,
                              std::unique_ptr<IAudioProcessor>& processor) {
    std::vector<float> keys = key_then_pause();
    try {
        processor->ProcessFrame(frame_of(keys));
        return 1;
    } catch (const std::logic_error&) {
    }
    processor.reset();
    sdk.reset();
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot start threads after a multi-threaded fork.
    return 0;
#endif
    std::shared_ptr<ITavixSdk> own = activated_sdk();
    if (!own) return 2;
    ProcessorAttributes attrs = local_translation("en-US", "es-ES");
    std::unique_ptr<IAudioProcessor> mine = own->CreateAudioProcessor(attrs);
    if (!mine) return 3;
    mine->ProcessFrame(frame_of(keys));
    return 0;
}

bool fork_abandons_the_parents_objects() {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!expect(sdk != nullptr, "activation")) return false;
    std::unique_ptr<IAudioProcessor> processor =
        sdk->CreateAudioProcessor(local_translation("en-US", "es-ES"));
    if (!expect(processor != nullptr, "a processor")) return false;
    const std::optional<ChildEnd> end =
        run_in_child([&] { return abandoned_in_forked_child(sdk, processor); });
    if (!end) return false;
    if (!expect(end->said.has_value(), "the child hung on the parent's objects")) return false;
    std::vector<float> keys = key_then_pause();
    processor->ProcessFrame(frame_of(keys));  // the parent's is untouched
    return expect(WIFEXITED(end->status) && WEXITSTATUS(end->status) == 0,
                  "the child ended with status " + std::to_string(end->status) +
                      ", stderr: " + *end->said);
}

bool nul_refused(bool in_storage) {
    const std::filesystem::path cut = std::filesystem::path(g_storage) / "cut";
    InitParams params;
    params.storage_dir = (cut / "storage").string();
    params.models_dir = (cut / "models").string();
    (in_storage ? params.storage_dir : params.models_dir) += std::string("\0tail", 5);
    try {
        CreateTavixSdk(params);
    } catch (const std::invalid_argument& refusal) {
        return expect(std::string(refusal.what()).find("NUL") != std::string::npos,
                      "the refusal names the NUL") &&
               expect(!std::filesystem::exists(cut), "nothing was created");
    }
    return expect(false, "a path with a NUL was accepted");
}

// Bytes that are not UTF-8, and a CR LF, in caller text: escaped, so the log
// keeps one valid line per operation.
bool raw_bytes_escaped() {
    std::shared_ptr<ITavixSdk> sdk = activated_sdk();
    if (!expect(sdk != nullptr, "activation")) return false;
    ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = std::string("a\xff\xc3(\r\nb\xed\xa0\x80", 10);
    if (!expect(sdk->CreateAudioProcessor(attrs) == nullptr, "no such model")) return false;
    std::ifstream log(g_storage + "/logs/tavix.log");
    std::string line, last;
    while (std::getline(log, line)) last = line;
    return expect(last.find(R"(model="a\xff\xc3(\r\nb\xed\xa0\x80" result=none)") !=
                      std::string::npos,
                  "the last line holds the escaped name: " + last);
}

}  // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::function<bool()>> cases = {
        {"activation-callback-exits", activation_callback_ends_its_caller},
        {"state-callback-exits-on-trying",
         [] { return state_callback_ends_the_output_thread(PipelineState::kTrying); }},
        {"state-callback-exits-on-running",
         [] { return state_callback_ends_the_output_thread(PipelineState::kRunning); }},
        {"transcript-callback-exits", transcript_callback_ends_the_output_thread},
        {"release-handed-off-then-exit", hand_off_release_then_end},
        {"release-inside-aborts", destroying_inside_own_callback_aborts},
        {"fork-abandons-parents-objects", fork_abandons_the_parents_objects},
        {"nul-in-storage-dir", [] { return nul_refused(true); }},
        {"nul-in-models-dir", [] { return nul_refused(false); }},
        {"raw-bytes-in-log", raw_bytes_escaped},
    };
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const auto& entry : cases) std::puts(entry.first.c_str());
        return 0;
    }
    auto found = argc == 3 ? cases.find(argv[2]) : cases.end();
    if (found == cases.end()) {
        std::fprintf(stderr, "usage: %s <storage_dir> <case>; cases:", argv[0]);
        for (const auto& entry : cases) std::fprintf(stderr, " %s", entry.first.c_str());
        std::fputc('\n', stderr);
        return 2;
    }
    g_storage = argv[1];
    if (!found->second()) return 1;
    std::puts("ok");
    return 0;
}
