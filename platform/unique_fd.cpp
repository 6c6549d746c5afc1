#include "platform/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace merriphonic {

UniqueFd::UniqueFd(int fd) : fd_(fd) {}

UniqueFd::~UniqueFd() {
    close();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::get() const {
    return fd_;
}

UniqueFd::operator bool() const {
    return fd_ >= 0;
}

int UniqueFd::release() {
    return std::exchange(fd_, -1);
}

int UniqueFd::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0 || ::close(fd) == 0) {
        return 0;
    }
    return errno;
}

} // namespace merriphonic
