#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "platform/published.h"

namespace merriphonic {

// Subscriptions of a view model to published fields, ended when it goes. The fields' owners
// must outlive the watches.
class PublishedWatch {
public:
    PublishedWatch() = default;
    ~PublishedWatch() { clear(); }
    PublishedWatch(const PublishedWatch&) = delete;
    PublishedWatch& operator=(const PublishedWatch&) = delete;

    template <typename T>
    void on(const Published<T>& field, std::function<void()> changed) {
        const auto id = field.subscribe([changed = std::move(changed)](const T&) { changed(); });
        ends_.emplace_back([&field, id] { field.unsubscribe(id); });
    }

    void clear() {
        for (auto& end : ends_) {
            end();
        }
        ends_.clear();
    }

private:
    std::vector<std::function<void()>> ends_;
};

} // namespace merriphonic
