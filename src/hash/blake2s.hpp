#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnhold {

// BLAKE2s (RFC 7693): digests of 1 to 32 bytes, unkeyed or keyed with up to 32 bytes. The key,
// the message and the digest may all be secret: every byte goes through the same additions,
// rotations and exclusive ors, and only the lengths (public) decide a branch or an address.
// The state, the buffered block and the key block are wiped through secure_wipe when the hasher
// is finished or destroyed.
class Blake2s {
public:
    static constexpr std::size_t block_size = 64;
    static constexpr std::size_t max_digest_size = 32;
    static constexpr std::size_t max_key_size = 32;

    // digest_size in 1..32 and key.size() in 0..32; other sizes are a fault of the caller and
    // throw std::invalid_argument.
    explicit Blake2s(std::size_t digest_size, std::span<const std::uint8_t> key = {});
    Blake2s(const Blake2s&) = delete;
    Blake2s& operator=(const Blake2s&) = delete;
    ~Blake2s();

    void update(std::span<const std::uint8_t> data) noexcept;
    // Writes the digest (digest_size bytes) and wipes the state; the hasher takes no more input.
    void finish(std::span<std::uint8_t> digest) noexcept;

private:
    void compress(const std::uint8_t* block, bool last) noexcept;

    std::array<std::uint32_t, 8> h_{};
    std::array<std::uint8_t, block_size> buffer_{};
    std::uint64_t counter_ = 0;  // bytes compressed so far
    std::size_t buffered_ = 0;
    std::size_t digest_size_;
};

// The whole computation in one call; digest.size() is the digest length (1..32).
void blake2s(std::span<std::uint8_t> digest, std::span<const std::uint8_t> key,
             std::span<const std::uint8_t> message);

// The unkeyed 32-byte digests of several messages of at most one block (64 bytes) each, the same
// as blake2s() gives one by one. Four messages are hashed side by side, lane i of every vector
// holding message i's words: one message alone leaves the processor waiting on each step of its
// rounds, four keep it busy for little more time. For public messages only (nothing is wiped).
// Throws std::invalid_argument for a message longer than a block or fewer digests than messages.
void blake2s_one_block_each(std::span<const std::span<const std::uint8_t>> messages,
                            std::span<std::array<std::uint8_t, 32>> digests);

}  // namespace varnhold
