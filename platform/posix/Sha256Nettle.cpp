#include "platform/Sha256.h"

#include <nettle/sha2.h>

#include <new>

namespace platform {

namespace {

static_assert(sizeof(sha256_ctx) <= 128, "Sha256::state_ is too small for the library's context");
static_assert(alignof(sha256_ctx) <= alignof(std::max_align_t));

sha256_ctx* context(unsigned char* state) {
    return std::launder(reinterpret_cast<sha256_ctx*>(state));
}

}  // namespace

Sha256::Sha256() {
    sha256_init(new (state_) sha256_ctx);
}

Sha256::~Sha256() = default;
// Nettle's context is plain data.
Sha256::Sha256(const Sha256& other) = default;
Sha256& Sha256::operator=(const Sha256& other) = default;

void Sha256::update(const void* data, std::size_t length) {
    sha256_update(context(state_), length, static_cast<const std::uint8_t*>(data));
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    // Nettle's digest call also starts the context over.
    sha256_digest(context(state_), digest.size(), digest.data());
    return digest;
}

}  // namespace platform
