#include "hash/blake2s.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/wipe.hpp"

namespace varnhold {
namespace {

// The initialisation vector: the first 32 bits of the fractional parts of the square roots of
// the first eight primes.
constexpr std::array<std::uint32_t, 8> iv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                             0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// The message word order of each of the ten rounds.
constexpr std::uint8_t sigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    return word;
}

// The mixing function G on four words of the working vector with two message words (the
// word-by-word rounds, where the target has no SSE2).
[[maybe_unused]] inline void mix(std::uint32_t* v, int a, int b, int c, int d, std::uint32_t x,
                                 std::uint32_t y) noexcept {
    v[a] = v[a] + v[b] + x;
    v[d] = std::rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = std::rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 7);
}

// The ten rounds on the sixteen words v: G on the four columns, then on the four diagonals, with
// the message words m in each round's order. `Mix` is G on single words (the word-by-word rounds)
// or on vectors whose lanes hold the same word of several messages.
template <auto Mix, class Word>
inline void ten_rounds(Word* v, const Word* m) noexcept {
#pragma GCC unroll 10
    for (const auto& s : sigma) {
        Mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        Mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        Mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        Mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        Mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        Mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        Mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        Mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
}

}  // namespace

Blake2s::Blake2s(std::size_t digest_size, std::span<const std::uint8_t> key)
    : digest_size_(digest_size) {
    if (digest_size == 0 || digest_size > max_digest_size)
        throw std::invalid_argument("BLAKE2s digest size must be 1 to 32 bytes");
    if (key.size() > max_key_size)
        throw std::invalid_argument("BLAKE2s key must be at most 32 bytes");
    h_ = iv;
    // The parameter block: digest length, key length, fanout 1, depth 1; the rest zero.
    h_[0] ^= 0x01010000u ^ static_cast<std::uint32_t>(key.size() << 8) ^
             static_cast<std::uint32_t>(digest_size);
    if (!key.empty()) {
        // A key is the first block of the message, padded with zeros to a full block.
        std::memcpy(buffer_.data(), key.data(), key.size());
        buffered_ = block_size;
    }
}

Blake2s::~Blake2s() {
    secure_wipe_object(h_);
    secure_wipe_object(buffer_);
}

#if defined(__SSE2__)
namespace {

template <int bits>
inline __m128i rotr32(__m128i x) noexcept {
    return _mm_or_si128(_mm_srli_epi32(x, bits), _mm_slli_epi32(x, 32 - bits));
}

// G on the four columns (or, after the rows are turned, the four diagonals) at once: lane i of
// a, b, c, d holds the words that mix(.., i, 4 + i, 8 + i, 12 + i, ..) works on.
inline void mix_lanes(__m128i& a, __m128i& b, __m128i& c, __m128i& d, __m128i x,
                      __m128i y) noexcept {
    a = _mm_add_epi32(_mm_add_epi32(a, b), x);
    d = rotr32<16>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = rotr32<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(_mm_add_epi32(a, b), y);
    d = rotr32<8>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = rotr32<7>(_mm_xor_si128(b, c));
}

inline __m128i message_lanes(const std::uint32_t* m, const std::uint8_t* s) noexcept {
    return _mm_set_epi32(static_cast<int>(m[s[6]]), static_cast<int>(m[s[4]]),
                         static_cast<int>(m[s[2]]), static_cast<int>(m[s[0]]));
}

}  // namespace

// Four G at a time in SSE2 lanes, the rows turned between the column and the diagonal steps;
// the same additions, rotations and exclusive ors as the word-by-word rounds.
void Blake2s::compress(const std::uint8_t* block, bool last) noexcept {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h_.data()));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h_.data() + 4));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv.data()));
    __m128i d =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(iv.data() + 4)),
                      _mm_set_epi32(0, last ? -1 : 0,
                                    static_cast<int>(static_cast<std::uint32_t>(counter_ >> 32)),
                                    static_cast<int>(static_cast<std::uint32_t>(counter_))));
    const __m128i first_a = a;
    const __m128i first_b = b;
#pragma GCC unroll 10
    for (const auto& s : sigma) {
        mix_lanes(a, b, c, d, message_lanes(m, s), message_lanes(m, s + 1));
        // Diagonal i: words i, 4 + (i + 1) % 4, 8 + (i + 2) % 4, 12 + (i + 3) % 4.
        b = _mm_shuffle_epi32(b, 0x39);
        c = _mm_shuffle_epi32(c, 0x4E);
        d = _mm_shuffle_epi32(d, 0x93);
        mix_lanes(a, b, c, d, message_lanes(m, s + 8), message_lanes(m, s + 9));
        b = _mm_shuffle_epi32(b, 0x93);
        c = _mm_shuffle_epi32(c, 0x4E);
        d = _mm_shuffle_epi32(d, 0x39);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h_.data()),
                     _mm_xor_si128(first_a, _mm_xor_si128(a, c)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h_.data() + 4),
                     _mm_xor_si128(first_b, _mm_xor_si128(b, d)));
    secure_wipe_object(m);
}
#else
void Blake2s::compress(const std::uint8_t* block, bool last) noexcept {
    std::uint32_t m[16];
    std::uint32_t v[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
    for (int i = 0; i < 8; ++i) {
        v[i] = h_[i];
        v[i + 8] = iv[i];
    }
    v[12] ^= static_cast<std::uint32_t>(counter_);
    v[13] ^= static_cast<std::uint32_t>(counter_ >> 32);
    if (last) v[14] = ~v[14];
    ten_rounds<mix>(v, m);
    for (int i = 0; i < 8; ++i) h_[i] ^= v[i] ^ v[i + 8];
    secure_wipe_object(m);
    secure_wipe_object(v);
}

#endif

void Blake2s::update(std::span<const std::uint8_t> data) noexcept {
    // The last block must be compressed with the final flag, so a full buffer is compressed only
    // once more input arrives: the buffer is never empty at finish unless nothing was hashed.
    const std::uint8_t* in = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        if (buffered_ == block_size) {
            counter_ += block_size;
            compress(buffer_.data(), false);
            buffered_ = 0;
        }
        if (buffered_ == 0) {
            // Whole blocks straight from the input, all but one that might be the last.
            while (left > block_size) {
                counter_ += block_size;
                compress(in, false);
                in += block_size;
                left -= block_size;
            }
        }
        const std::size_t take = left < block_size - buffered_ ? left : block_size - buffered_;
        std::memcpy(buffer_.data() + buffered_, in, take);
        buffered_ += take;
        in += take;
        left -= take;
    }
}

void Blake2s::finish(std::span<std::uint8_t> digest) noexcept {
    counter_ += buffered_;
    std::memset(buffer_.data() + buffered_, 0, block_size - buffered_);
    compress(buffer_.data(), true);
    std::uint8_t out[max_digest_size];
    for (int i = 0; i < 8; ++i) {
        std::uint32_t word = h_[i];
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        std::memcpy(out + 4 * i, &word, sizeof word);
    }
    const std::size_t size = digest.size() < digest_size_ ? digest.size() : digest_size_;
    std::memcpy(digest.data(), out, size);
    secure_wipe_object(out);
    secure_wipe_object(h_);
    secure_wipe_object(buffer_);
    buffered_ = 0;
}

void blake2s(std::span<std::uint8_t> digest, std::span<const std::uint8_t> key,
             std::span<const std::uint8_t> message) {
    Blake2s hasher(digest.size(), key);
    hasher.update(message);
    hasher.finish(digest);
}

#if defined(__SSE2__)
namespace {

// G on whole vectors: lane l of each is word a, b, c or d of message l.
inline void mix_words(__m128i* v, int a, int b, int c, int d, __m128i x, __m128i y) noexcept {
    v[a] = _mm_add_epi32(_mm_add_epi32(v[a], x), v[b]);
    v[d] = rotr32<16>(_mm_xor_si128(v[d], v[a]));
    v[c] = _mm_add_epi32(v[c], v[d]);
    v[b] = rotr32<12>(_mm_xor_si128(v[b], v[c]));
    v[a] = _mm_add_epi32(_mm_add_epi32(v[a], y), v[b]);
    v[d] = rotr32<8>(_mm_xor_si128(v[d], v[a]));
    v[c] = _mm_add_epi32(v[c], v[d]);
    v[b] = rotr32<7>(_mm_xor_si128(v[b], v[c]));
}

inline __m128i lanes_of(std::uint32_t w0, std::uint32_t w1, std::uint32_t w2,
                        std::uint32_t w3) noexcept {
    return _mm_set_epi32(static_cast<int>(w3), static_cast<int>(w2), static_cast<int>(w1),
                         static_cast<int>(w0));
}

// Up to four one-block messages (`count` of them; the other lanes hash empty blocks).
void four_one_block(const std::array<std::array<std::uint8_t, 64>, 4>& blocks,
                    const std::array<std::uint32_t, 4>& sizes, std::size_t count,
                    std::array<std::uint8_t, 32>* digests) noexcept {
    __m128i m[16];
    for (int w = 0; w < 16; ++w) {
        m[w] = lanes_of(load_le32(blocks[0].data() + 4 * w), load_le32(blocks[1].data() + 4 * w),
                        load_le32(blocks[2].data() + 4 * w), load_le32(blocks[3].data() + 4 * w));
    }
    __m128i h[8];
    for (int i = 0; i < 8; ++i) h[i] = _mm_set1_epi32(static_cast<int>(iv[i]));
    // The parameter block of an unkeyed 32-byte digest: length 32, fanout 1, depth 1.
    h[0] = _mm_xor_si128(h[0], _mm_set1_epi32(0x01010020));
    __m128i v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = h[i];
        v[i + 8] = _mm_set1_epi32(static_cast<int>(iv[i]));
    }
    // The counter is each message's length (its only block); the block is the last.
    v[12] = _mm_xor_si128(v[12], lanes_of(sizes[0], sizes[1], sizes[2], sizes[3]));
    v[14] = _mm_xor_si128(v[14], _mm_set1_epi32(-1));
    ten_rounds<mix_words>(v, m);
    std::uint32_t words[8][4];
    for (int i = 0; i < 8; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(words[i]),
                         _mm_xor_si128(h[i], _mm_xor_si128(v[i], v[i + 8])));
    }
    for (std::size_t lane = 0; lane < count; ++lane) {
        for (int i = 0; i < 8; ++i) {
            std::uint32_t word = words[i][lane];
            if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
            std::memcpy(digests[lane].data() + 4 * i, &word, sizeof word);
        }
    }
}

}  // namespace
#endif

void blake2s_one_block_each(std::span<const std::span<const std::uint8_t>> messages,
                            std::span<std::array<std::uint8_t, 32>> digests) {
    if (digests.size() < messages.size())
        throw std::invalid_argument("BLAKE2s needs a digest for every message");
    for (const auto& message : messages) {
        if (message.size() > Blake2s::block_size)
            throw std::invalid_argument("BLAKE2s one-block messages are at most 64 bytes");
    }
#if defined(__SSE2__)
    for (std::size_t first = 0; first < messages.size(); first += 4) {
        const std::size_t count = std::min<std::size_t>(4, messages.size() - first);
        std::array<std::array<std::uint8_t, 64>, 4> blocks{};
        std::array<std::uint32_t, 4> sizes{};
        for (std::size_t lane = 0; lane < count; ++lane) {
            const auto message = messages[first + lane];
            if (!message.empty()) std::memcpy(blocks[lane].data(), message.data(), message.size());
            sizes[lane] = static_cast<std::uint32_t>(message.size());
        }
        four_one_block(blocks, sizes, count, digests.data() + first);
    }
#else
    for (std::size_t i = 0; i < messages.size(); ++i) blake2s(digests[i], {}, messages[i]);
#endif
}

}  // namespace varnhold
