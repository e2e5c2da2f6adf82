#include "engine/output_thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <type_traits>
#include <variant>

#include "common/host_callback.h"

namespace tavix::sdk {

// Everything the thread touches. Its OutputThread owns it and outlives the
// thread: stop() joins the thread before anything here goes.
struct OutputChannel {
    using Event = std::variant<PipelineState, TextFrame>;
    // Making room moves events within the queue after the new ones are in:
    // that must not fail, or a post would be neither all nor nothing.
    static_assert(std::is_nothrow_move_assignable_v<Event>);

    OutputThread::StateCallback on_state;
    OutputThread::TextCallback on_text;
    bool simulates_pipeline = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Event> events;
    bool stopping = false;
    bool abandoned = false;  // the thread was ended from inside a callback
    bool dropping = false;   // transcripts dropped since the queue was last empty
    uint64_t dropped = 0;
    std::optional<std::chrono::steady_clock::time_point> connect_at;
    std::atomic<bool> running{false};

    // Callbacks run without the lock, so an unwind out of one leaves it free.
    void deliver(Event& event) {
        if (auto* state = std::get_if<PipelineState>(&event)) {
            call_host(on_state, *state);
        } else {
            call_host(on_text, std::move(std::get<TextFrame>(event)));
        }
    }

    // serve() returns only when stopped; anything else is the forced unwind
    // of a callback that ended the thread, and the queue is let go on its way.
    void run() {
        struct AbandonUnlessReturned {
            OutputChannel& channel;
            bool returned = false;
            ~AbandonUnlessReturned() {
                if (!returned) channel.abandon();
            }
        } guard{*this};
        serve();
        guard.returned = true;
    }

    void serve() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            auto ready = [this] { return stopping || !events.empty(); };
            if (connect_at && !stopping)
                wake.wait_until(lock, *connect_at, ready);
            else
                wake.wait(lock, ready);
            if (connect_at && !stopping && std::chrono::steady_clock::now() >= *connect_at) {
                connect_at.reset();
                running = true;
                events.emplace_back(PipelineState::kRunning);
            }
            while (!events.empty()) {
                Event event = std::move(events.front());
                events.pop_front();
                if (events.empty()) dropping = false;  // caught up
                lock.unlock();
                deliver(event);
                lock.lock();
            }
            if (stopping) break;
        }
        lock.unlock();
        if (simulates_pipeline) {
            running = false;
            Event last = PipelineState::kNotRunning;
            deliver(last);
        }
    }

    // Nothing delivers any more: what is queued is let go (and counted) now,
    // and post() counts what comes later, so nothing piles up.
    void abandon() noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        abandoned = true;
        for (const Event& event : events)
            if (std::holds_alternative<TextFrame>(event)) ++dropped;
        events.clear();
    }

    // A partial transcript that a later queued transcript of the same type
    // and utterance supersedes (a later partial or the complete one).
    bool superseded(size_t at) const {
        const TextFrame* frame = std::get_if<TextFrame>(&events[at]);
        if (frame == nullptr || !frame->transcript_data_.complete.empty()) return false;
        for (size_t later = at + 1; later < events.size(); ++later) {
            const TextFrame* next = std::get_if<TextFrame>(&events[later]);
            if (next != nullptr && next->type_ == frame->type_ &&
                next->transcript_data_.utterance_idx == frame->transcript_data_.utterance_idx)
                return true;
        }
        return false;
    }

    // Drops the oldest superseded partials until the queue is back within
    // capacity or none is left; returns how many. Only moves and destroys.
    size_t make_room() noexcept {
        if (events.size() <= OutputThread::kQueueCapacity) return 0;
        const size_t excess = events.size() - OutputThread::kQueueCapacity;
        size_t removed = 0, kept = 0;
        for (size_t at = 0; at < events.size(); ++at) {
            // superseded() looks only past `at`, where nothing has moved yet.
            if (removed < excess && superseded(at)) {
                ++removed;
                continue;
            }
            if (kept != at) events[kept] = std::move(events[at]);
            ++kept;
        }
        events.erase(events.begin() + static_cast<std::ptrdiff_t>(kept), events.end());
        return removed;
    }
};

OutputThread::OutputThread(StateCallback on_state, TextCallback on_text,
                           std::optional<std::chrono::milliseconds> connect_after)
    : channel_(std::make_unique<OutputChannel>()) {
    channel_->on_state = std::move(on_state);
    channel_->on_text = std::move(on_text);
    channel_->simulates_pipeline = connect_after.has_value();
    if (connect_after) {
        channel_->connect_at = std::chrono::steady_clock::now() + *connect_after;
        channel_->events.emplace_back(PipelineState::kTrying);
    } else {
        channel_->running = true;
    }
    thread_ = std::thread([channel = channel_.get()] { channel->run(); });
}

OutputThread::~OutputThread() { stop(); }

bool OutputThread::running() const { return channel_->running.load(); }

bool OutputThread::post(std::vector<TextFrame>&& frames) {
    bool drops_began = false;
    if (frames.empty()) return drops_began;
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        if (channel_->abandoned) {
            channel_->dropped += frames.size();
            return drops_began;
        }
        std::deque<OutputChannel::Event>& events = channel_->events;
        const size_t before = events.size();
        try {
            for (TextFrame& frame : frames) events.emplace_back(std::move(frame));
        } catch (...) {
            // The thread cannot have taken any of them: the lock is held.
            while (events.size() > before) events.pop_back();
            throw;
        }
        const size_t dropped = channel_->make_room();
        if (dropped != 0) {
            channel_->dropped += dropped;
            drops_began = !channel_->dropping;
            channel_->dropping = true;
        }
    }
    channel_->wake.notify_one();
    return drops_began;
}

uint64_t OutputThread::transcripts_dropped() const {
    std::lock_guard<std::mutex> lock(channel_->mutex);
    return channel_->dropped;
}

namespace {

[[noreturn]] void destroyed_on_own_thread() noexcept {
    std::fputs("TavixSdk: AudioProcessor destroyed on its own output thread (inside one of its "
               "callbacks); release it from another thread\n",
               stderr);
    std::abort();
}

}  // namespace

void OutputThread::stop() {
    if (!channel_) return;  // abandoned after a fork
    if (!epoch_.current()) {
        // Its lock may be held and its condition waited on by a thread that
        // only the parent has: destroying either could block for good.
        (void) channel_.release();
        (void) new std::thread(std::move(thread_));
        return;
    }
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
        destroyed_on_own_thread();
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->stopping = true;
    }
    channel_->wake.notify_one();
    if (thread_.joinable()) thread_.join();
}

}  // namespace tavix::sdk
