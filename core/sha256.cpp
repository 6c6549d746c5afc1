#include "core/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <string>

namespace merriphonic {

namespace {

void check(int result, const char* what) {
    if (result != 1) {
        throw std::runtime_error(std::string("SHA-256: ") + what + " failed");
    }
}

} // namespace

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_) {
        throw std::runtime_error("SHA-256: out of memory");
    }
    check(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr), "init");
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(ByteView data) {
    check(EVP_DigestUpdate(context_.get(), data.data(), data.size()), "update");
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    check(EVP_DigestFinal_ex(context_.get(), digest.data(), &length), "final");
    check(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr), "init");
    return digest;
}

Sha256::Digest Sha256::of(ByteView data) {
    Sha256 hash;
    hash.update(data);
    return hash.finish();
}

} // namespace merriphonic
