#include "engine/output_thread.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>

namespace tavix::sdk {

// Everything the thread touches lives here, shared by the thread and its
// owner, so the thread can finish even after a callback destroyed its owner.
struct OutputChannel {
    using Event = std::variant<PipelineState, TextFrame>;

    OutputThread::StateCallback on_state;
    OutputThread::TextCallback on_text;
    bool simulates_pipeline = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Event> events;
    bool stopping = false;
    std::optional<std::chrono::steady_clock::time_point> connect_at;
    std::atomic<bool> running{false};

    // A callback never throws into the SDK: whatever it throws is dropped.
    void deliver(Event& event) noexcept {
        try {
            if (auto* state = std::get_if<PipelineState>(&event)) {
                if (on_state) on_state(*state);
            } else if (on_text) {
                on_text(std::move(std::get<TextFrame>(event)));
            }
        } catch (...) {
        }
    }

    void run() noexcept {
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
};

OutputThread::OutputThread(StateCallback on_state, TextCallback on_text,
                           std::optional<std::chrono::milliseconds> connect_after)
    : channel_(std::make_shared<OutputChannel>()) {
    channel_->on_state = std::move(on_state);
    channel_->on_text = std::move(on_text);
    channel_->simulates_pipeline = connect_after.has_value();
    if (connect_after) {
        channel_->connect_at = std::chrono::steady_clock::now() + *connect_after;
        channel_->events.emplace_back(PipelineState::kTrying);
    } else {
        channel_->running = true;
    }
    thread_ = std::thread([channel = channel_] { channel->run(); });
}

OutputThread::~OutputThread() { stop(); }

bool OutputThread::running() const { return channel_->running.load(); }

void OutputThread::post(std::vector<TextFrame>&& frames) {
    if (frames.empty()) return;
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        std::deque<OutputChannel::Event>& events = channel_->events;
        const size_t before = events.size();
        try {
            for (TextFrame& frame : frames) events.emplace_back(std::move(frame));
        } catch (...) {
            // The thread cannot have taken any of them: the lock is held.
            while (events.size() > before) events.pop_back();
            throw;
        }
    }
    channel_->wake.notify_one();
}

void OutputThread::stop() {
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->stopping = true;
    }
    channel_->wake.notify_one();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace tavix::sdk
