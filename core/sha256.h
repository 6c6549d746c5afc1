#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/bytes.h"

struct evp_md_ctx_st;

namespace merriphonic {

// Incremental SHA-256 of a byte sequence.
class Sha256 {
public:
    static constexpr size_t size = 32;
    using Digest = std::array<uint8_t, size>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void update(ByteView data);
    // The digest of everything added so far; the hash then starts afresh.
    Digest finish();

    static Digest of(ByteView data);

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
};

} // namespace merriphonic
