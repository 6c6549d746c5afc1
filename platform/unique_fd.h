#pragma once

namespace merriphonic {

// A file descriptor this object owns: closed when the object goes, unless released first.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd);
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // -1 when nothing is owned.
    [[nodiscard]] int get() const;
    explicit operator bool() const;

    // Hands the descriptor to the caller, who closes it.
    [[nodiscard]] int release();
    // Closes the descriptor now; 0, or the errno of a failed close (the descriptor is gone
    // either way).
    int close();

private:
    int fd_ = -1;
};

} // namespace merriphonic
