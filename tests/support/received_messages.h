#pragma once

#include <vector>

#include "core/message.h"

namespace merriphonic::test {

// The messages of one kind among those a peer received, in order.
template <class T>
std::vector<T> messagesOf(const std::vector<Message>& received) {
    std::vector<T> result;
    for (const Message& message : received) {
        if (const T* value = message.as<T>()) {
            result.push_back(*value);
        }
    }
    return result;
}

} // namespace merriphonic::test
