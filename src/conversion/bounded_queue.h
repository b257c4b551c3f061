// The hand-over between two threads: a first-in, first-out queue of a few items at the most.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

// push() waits while the queue is full, pop() while it is empty; close() ends both waits for
// good: push() then drops its item and pop() hands out what is left, then nothing. The memory
// it holds is bounded by its capacity whatever passes through it.
template <typename Item>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // False once the queue is closed: the item is not taken.
    bool push(Item item) {
        std::unique_lock<std::mutex> guard(mutex_);
        roomOrClosed_.wait(guard, [this] { return closed_ || items_.size() < capacity_; });
        if (closed_) return false;
        items_.push_back(std::move(item));
        itemOrClosed_.notify_one();
        return true;
    }

    // Waits until push() would not wait: for a producer that makes its item only once there is
    // room for it, so that no more items than the capacity exist at once. False once closed.
    bool waitForRoom() {
        std::unique_lock<std::mutex> guard(mutex_);
        roomOrClosed_.wait(guard, [this] { return closed_ || items_.size() < capacity_; });
        return !closed_;
    }

    // The oldest item; nothing once the queue is closed and empty.
    std::optional<Item> pop() {
        std::unique_lock<std::mutex> guard(mutex_);
        itemOrClosed_.wait(guard, [this] { return closed_ || !items_.empty(); });
        return takeOldest();
    }

    // As pop(), but waits no longer than `timeout`: nothing then too.
    template <typename Rep, typename Period>
    std::optional<Item> popFor(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> guard(mutex_);
        itemOrClosed_.wait_for(guard, timeout, [this] { return closed_ || !items_.empty(); });
        return takeOldest();
    }

    // True when pop() would not wait.
    bool readyToPop() {
        std::lock_guard<std::mutex> guard(mutex_);
        return closed_ || !items_.empty();
    }

    bool isClosed() {
        std::lock_guard<std::mutex> guard(mutex_);
        return closed_;
    }

    void close() {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        roomOrClosed_.notify_all();
        itemOrClosed_.notify_all();
    }

private:
    std::optional<Item> takeOldest() {
        if (items_.empty()) return std::nullopt;
        std::optional<Item> oldest(std::move(items_.front()));
        items_.pop_front();
        roomOrClosed_.notify_one();
        return oldest;
    }

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable roomOrClosed_;
    std::condition_variable itemOrClosed_;
    std::deque<Item> items_;
    bool closed_ = false;
};
