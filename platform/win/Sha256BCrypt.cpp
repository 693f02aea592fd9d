#include "platform/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

namespace platform {

// SHA-256 from Windows' own CNG (bcrypt.dll): the algorithm provider is opened
// once for the process; each object holds one hash handle in its state.

namespace {

BCRYPT_ALG_HANDLE algorithm() {
    static BCRYPT_ALG_HANDLE handle = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            return BCRYPT_ALG_HANDLE{nullptr};
        return opened;
    }();
    return handle;
}

static_assert(sizeof(BCRYPT_HASH_HANDLE) <= 128);

BCRYPT_HASH_HANDLE& hashOf(unsigned char* state) {
    return *reinterpret_cast<BCRYPT_HASH_HANDLE*>(state);
}

BCRYPT_HASH_HANDLE newHash() {
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Windows allocates the hash's object itself when given none (Windows 7 on).
    if (algorithm() == nullptr ||
        !BCRYPT_SUCCESS(BCryptCreateHash(algorithm(), &hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return hash;
}

}  // namespace

Sha256::Sha256() {
    std::memset(state_, 0, sizeof state_);
    hashOf(state_) = newHash();
}

Sha256::~Sha256() {
    if (hashOf(state_) != nullptr)
        BCryptDestroyHash(hashOf(state_));
}

Sha256::Sha256(const Sha256& other) {
    std::memset(state_, 0, sizeof state_);
    *this = other;
}

Sha256& Sha256::operator=(const Sha256& other) {
    if (this == &other)
        return *this;
    if (hashOf(state_) != nullptr)
        BCryptDestroyHash(hashOf(state_));
    hashOf(state_) = nullptr;
    BCRYPT_HASH_HANDLE copy = nullptr;
    BCRYPT_HASH_HANDLE source = *reinterpret_cast<const BCRYPT_HASH_HANDLE*>(other.state_);
    if (source != nullptr && BCRYPT_SUCCESS(BCryptDuplicateHash(source, &copy, nullptr, 0, 0)))
        hashOf(state_) = copy;
    return *this;
}

void Sha256::update(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0 && hashOf(state_) != nullptr) {
        const auto piece = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
        BCryptHashData(hashOf(state_), const_cast<unsigned char*>(bytes), piece, 0);
        bytes += piece;
        length -= piece;
    }
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    if (hashOf(state_) != nullptr) {
        BCryptFinishHash(hashOf(state_), digest.data(), static_cast<ULONG>(digest.size()), 0);
        // A finished hash cannot take more data: the next one starts afresh.
        BCryptDestroyHash(hashOf(state_));
    }
    hashOf(state_) = newHash();
    return digest;
}

}  // namespace platform
