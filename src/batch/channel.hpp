// A first-in-first-out channel between threads, unbounded or bounded, with
// counted sending and receiving handles.
//
// Sending fails once every receiving handle is gone, and a sender waiting on
// a full bounded channel wakes and fails then too. Receiving waits while the
// channel is empty and a sending handle exists, and reports the end once
// every sending handle is gone and nothing is left. Items still queued when
// the last receiver goes are released at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace karvelum::batch {

template <class T>
class Channel {
    struct State {
        std::mutex mutex;
        std::condition_variable readable, writable;
        std::deque<T> items;
        std::size_t capacity = 0;  // 0: unbounded
        std::size_t senders = 0, receivers = 0;
    };

public:
    class Sender {
    public:
        Sender() = default;
        explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) { attach(); }
        Sender(const Sender& other) : state_(other.state_) { attach(); }
        Sender(Sender&& other) noexcept = default;
        Sender& operator=(Sender other) noexcept {
            std::swap(state_, other.state_);
            return *this;
        }
        ~Sender() { reset(); }

        // Queues `item`, waiting while a bounded channel is full. False (and
        // `item` dropped) once no receiver is left.
        bool send(T&& item) const {
            if (!state_) return false;
            std::unique_lock<std::mutex> lock(state_->mutex);
            state_->writable.wait(lock, [&] {
                return state_->receivers == 0 || state_->capacity == 0 || state_->items.size() < state_->capacity;
            });
            if (state_->receivers == 0) return false;
            state_->items.push_back(std::move(item));
            state_->readable.notify_one();
            return true;
        }

        void reset() noexcept {
            if (!state_) return;
            {
                std::lock_guard<std::mutex> lock(state_->mutex);
                if (--state_->senders == 0) state_->readable.notify_all();
            }
            state_.reset();
        }

    private:
        void attach() {
            if (!state_) return;
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->senders;
        }
        std::shared_ptr<State> state_;
    };

    class Receiver {
    public:
        Receiver() = default;
        explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) { attach(); }
        Receiver(const Receiver& other) : state_(other.state_) { attach(); }
        Receiver(Receiver&& other) noexcept = default;
        Receiver& operator=(Receiver other) noexcept {
            std::swap(state_, other.state_);
            return *this;
        }
        ~Receiver() { reset(); }

        // The next item, waiting while the channel is empty and open; nullopt
        // at the end.
        std::optional<T> receive() const {
            if (!state_) return std::nullopt;
            std::unique_lock<std::mutex> lock(state_->mutex);
            state_->readable.wait(lock, [&] { return ready(); });
            return take();
        }

        // The same, waiting at most `timeout`: nullopt also when the time
        // runs out first, which sets `timed_out`.
        std::optional<T> receive_for(std::chrono::nanoseconds timeout, bool& timed_out) const {
            timed_out = false;
            if (!state_) return std::nullopt;
            std::unique_lock<std::mutex> lock(state_->mutex);
            timed_out = !state_->readable.wait_for(lock, timeout, [&] { return ready(); });
            return timed_out ? std::nullopt : take();
        }

        // The next item if one is queued, without waiting; nullopt otherwise.
        std::optional<T> try_receive() const {
            if (!state_) return std::nullopt;
            std::lock_guard<std::mutex> lock(state_->mutex);
            return take();
        }

        void reset() noexcept {
            if (!state_) return;
            std::deque<T> dropped;
            {
                std::lock_guard<std::mutex> lock(state_->mutex);
                if (--state_->receivers == 0) {
                    dropped.swap(state_->items);
                    state_->writable.notify_all();
                }
            }
            state_.reset();
            // `dropped` is released outside the lock.
        }

    private:
        void attach() {
            if (!state_) return;
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->receivers;
        }
        // With the lock held: an item is queued, or no sender is left.
        bool ready() const { return !state_->items.empty() || state_->senders == 0; }
        // With the lock held: the first queued item, taken off; nullopt when
        // there is none.
        std::optional<T> take() const {
            if (state_->items.empty()) return std::nullopt;
            std::optional<T> item(std::move(state_->items.front()));
            state_->items.pop_front();
            state_->writable.notify_one();
            return item;
        }
        std::shared_ptr<State> state_;
    };

    // A new channel holding at most `capacity` items (0: unbounded).
    static std::pair<Sender, Receiver> open(std::size_t capacity = 0) {
        auto state = std::make_shared<State>();
        state->capacity = capacity;
        return {Sender(state), Receiver(state)};
    }
};

}  // namespace karvelum::batch
