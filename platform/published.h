#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace merriphonic {

// An observable value: every assignment notifies the subscribers, in subscription order.
// Used on one thread (the main loop).
template <typename T>
class Published {
public:
    using Observer = std::function<void(const T&)>;
    using Subscription = uint64_t;

    Published() = default;
    explicit Published(T initial) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    [[nodiscard]] const T& get() const { return value_; }
    [[nodiscard]] const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

    void set(T value) {
        value_ = std::move(value);
        notify();
    }
    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }
    // Changes the value in place, then notifies once.
    template <typename Fn>
    void modify(Fn&& fn) {
        std::forward<Fn>(fn)(value_);
        notify();
    }

    // Watching does not change the value: an owner can hand out read-only access that still
    // lets observers subscribe.
    Subscription subscribe(Observer observer) const {
        const Subscription id = ++lastId_;
        observers_.emplace(id, std::move(observer));
        return id;
    }
    void unsubscribe(Subscription id) const { observers_.erase(id); }

private:
    void notify() {
        // Observers may unsubscribe while being notified: walk a snapshot of the ids.
        std::vector<Subscription> ids;
        ids.reserve(observers_.size());
        for (const auto& entry : observers_) {
            ids.push_back(entry.first);
        }
        for (Subscription id : ids) {
            auto it = observers_.find(id);
            if (it != observers_.end()) {
                auto observer = it->second;
                observer(value_);
            }
        }
    }

    T value_{};
    mutable std::map<Subscription, Observer> observers_;
    mutable Subscription lastId_ = 0;
};

} // namespace merriphonic
