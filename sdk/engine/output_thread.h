// The one thread of a processor that delivers its callbacks, in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/fork_epoch.h"
#include "tavix/Enums.h"
#include "tavix/Transcript.h"

namespace tavix::sdk {

struct OutputChannel;

class OutputThread {
public:
    using StateCallback = std::function<void(PipelineState)>;
    using TextCallback = std::function<void(TextFrame&&)>;

    // How many events (pipeline states and transcripts) the queue holds
    // before post() makes room. A transcript callback slower than the audio
    // that feeds it would otherwise grow the queue without bound, and stop()
    // would deliver the whole backlog first. To make room post() drops the
    // oldest queued partial transcripts (TextFrames whose `complete` is
    // empty) that a later queued transcript of the same type and utterance
    // supersedes, and counts them. Complete transcripts, pipeline states and
    // the latest partial of each utterance are never dropped, so the queue
    // exceeds the capacity only by those: the complete ones (the DTMF
    // pipeline makes at most one per ended key sequence and type) and the
    // latest partials of the running sequence (one per type).
    static constexpr size_t kQueueCapacity = 64;

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

    // Queues frames for the transcript callback, all of them or (if it
    // throws) none, then keeps the queue within kQueueCapacity as described
    // there, which cannot fail. After the thread was ended from inside a
    // callback (see stop()), the frames are counted as dropped instead.
    // Returns whether this call began a run of drops: the first drop since
    // the queue was last empty.
    bool post(std::vector<TextFrame>&& frames);

    // Transcripts that never reached the callback: dropped to keep the bound,
    // or left over after the thread was ended. Final once stop() returned.
    uint64_t transcripts_dropped() const;

    // Delivers what is queued, then NOT_RUNNING if a pipeline was simulated,
    // and ends the thread; returns after the thread has ended, so no
    // callback runs afterwards. Idempotent.
    //
    // Called on the output thread itself (the processor destroyed inside one
    // of its own callbacks) it cannot wait for its own end, and the vendor's
    // library, which joins there too, deadlocks or terminates. So it aborts
    // the process at once with a message naming the mistake, rather than let
    // a host that only works here pass its tests. A host releases the
    // processor from another thread instead (for example by handing the
    // release to a helper thread).
    //
    // A callback may end the thread itself with a forced unwind (pthread_exit
    // or pthread_cancel, as a host runtime that is shutting down may do). The unwind passes to the thread's entry; on the way the
    // queue is let go and later posts are only counted, and stop() then
    // joins the ended thread. The processor keeps processing audio.
    //
    // In a child forked since the thread started, the thread is not there:
    // it and its queue are abandoned (see common/fork_epoch.h), and nothing
    // is delivered.
    void stop();

private:
    ForkEpoch epoch_;
    std::unique_ptr<OutputChannel> channel_;
    std::thread thread_;
};

}  // namespace tavix::sdk
