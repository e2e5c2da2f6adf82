// The one thread of a processor that delivers its callbacks, in order.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "tavix/Enums.h"
#include "tavix/Transcript.h"

namespace tavix::sdk {

struct OutputChannel;

class OutputThread {
public:
    using StateCallback = std::function<void(PipelineState)>;
    using TextCallback = std::function<void(TextFrame&&)>;

    // With `connect_after` set, the thread simulates the remote pipeline:
    // it reports TRYING at once, RUNNING once `connect_after` has passed
    // (from then on running() is true) and NOT_RUNNING when stopped. Without
    // it there is no pipeline: no state is reported and running() is true.
    OutputThread(StateCallback on_state, TextCallback on_text,
                 std::optional<std::chrono::milliseconds> connect_after);

    // Stops the thread; see stop().
    ~OutputThread();

    OutputThread(const OutputThread&) = delete;
    OutputThread& operator=(const OutputThread&) = delete;

    bool running() const;

    // Queues frames for the transcript callback: all of them, or (if it
    // throws) none.
    void post(std::vector<TextFrame>&& frames);

    // Delivers what is queued, then NOT_RUNNING if a pipeline was simulated,
    // and ends the thread. Called from any other thread it returns after the
    // thread has ended, so no callback runs afterwards. Called from a callback
    // on the output thread itself, it returns at once and the thread finishes
    // the same work after that callback has returned. Idempotent.
    void stop();

private:
    std::shared_ptr<OutputChannel> channel_;
    std::thread thread_;
};

}  // namespace tavix::sdk
