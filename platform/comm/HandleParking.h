#pragma once
// What a closed port held (a tty's descriptor, a network port's
// connection), kept for a moment under a key (the device, the address).
//
// The port object reopens its device for every change of a line setting
// and for a break. Letting go and taking again moves something on the far
// side each time (a tty passes B0, which raises DTR in the kernel; a device
// server closes and reopens its own port), keying a transceiver whose
// transmit enable is on DTR. A reopen within the linger takes over what was
// kept, and nothing moves. What is not taken in time is let go for good by
// `release`.
//
// A thread of its own lets go what is due; it runs only while something is
// kept, so a program that has let every port go has no thread of ours
// left. A lot is never destroyed (the thread uses it): make it with new.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace win::detail {

template <typename Key, typename Value>
class HandleParking {
public:
    using Clock = std::chrono::steady_clock;

    HandleParking(std::chrono::milliseconds linger, std::function<void(Value&)> release)
        : linger_(linger), release_(std::move(release))
    {
    }
    HandleParking(const HandleParking&) = delete;
    HandleParking& operator=(const HandleParking&) = delete;

    // Keeps `value` for the linger; one kept under the same key before is
    // let go now.
    void Park(const Key& key, Value value)
    {
        std::vector<Value> gone;
        {
            std::lock_guard lock(mutex_);
            TakeOutLocked(key, gone);
            slots_.push_back({key, std::move(value), Clock::now() + linger_});
            if (!reaping_) {
                reaping_ = true;
                std::thread([this] { Reap(); }).detach();
            }
            wake_.notify_all();
        }
        ReleaseEach(gone);
    }

    // What is kept under `key`, now the caller's.
    std::optional<Value> Take(const Key& key)
    {
        std::vector<Value> found;
        {
            std::lock_guard lock(mutex_);
            TakeOutLocked(key, found);
        }
        if (found.empty())
            return std::nullopt;
        return std::move(found.front());
    }

    // Lets everything go now (at the end of the program; tests).
    void ReleaseAll()
    {
        std::vector<Value> gone;
        {
            std::lock_guard lock(mutex_);
            for (Slot& slot : slots_)
                gone.push_back(std::move(slot.value));
            slots_.clear();
        }
        ReleaseEach(gone);
    }

private:
    struct Slot {
        Key key;
        Value value;
        Clock::time_point until;
    };

    void TakeOutLocked(const Key& key, std::vector<Value>& out)
    {
        auto it = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.key == key; });
        if (it == slots_.end())
            return;
        out.push_back(std::move(it->value));
        slots_.erase(it);
    }

    void ReleaseEach(std::vector<Value>& values)
    {
        for (Value& value : values)
            release_(value);
    }

    void Reap()
    {
        std::unique_lock lock(mutex_);
        while (!slots_.empty()) {
            Clock::time_point next = Clock::time_point::max();
            for (const Slot& slot : slots_)
                next = std::min(next, slot.until);
            wake_.wait_until(lock, next);
            std::vector<Value> due;
            const Clock::time_point now = Clock::now();
            for (auto it = slots_.begin(); it != slots_.end();) {
                if (it->until <= now) {
                    due.push_back(std::move(it->value));
                    it = slots_.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            ReleaseEach(due);
            lock.lock();
        }
        reaping_ = false;
    }

    const std::chrono::milliseconds linger_;
    const std::function<void(Value&)> release_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Slot> slots_;
    bool reaping_ = false;
};

} // namespace win::detail
