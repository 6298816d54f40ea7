// BLAKE2s against the RFC 7693 vectors and, differentially, against Python's hashlib.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "hash/blake2s.hpp"

namespace varnhold {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string to_hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes digest_of(std::size_t size, const Bytes& key, const Bytes& message) {
    Bytes digest(size);
    blake2s(digest, key, message);
    return digest;
}

// The byte pattern of blake2s_vectors.py.
Bytes pattern_bytes(std::size_t length, std::size_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i)
        out[i] = static_cast<std::uint8_t>(167 * i + 13 * seed + 1);
    return out;
}

TEST(Blake2s, HashesAbcAsInTheRfc) {
    EXPECT_EQ(to_hex(digest_of(32, {}, Bytes{'a', 'b', 'c'})),
              "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
}

// The RFC's self-test: unkeyed and keyed digests of its generated sequences, for four digest
// and six message lengths, all hashed into one BLAKE2s-256 digest.
TEST(Blake2s, PassesTheRfcSelfTest) {
    const auto sequence = [](std::size_t length, std::uint32_t seed) {
        Bytes out(length);
        std::uint32_t a = 0xDEAD4BADu * seed;
        std::uint32_t b = 1;
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint32_t t = a + b;
            a = b;
            b = t;
            out[i] = static_cast<std::uint8_t>(t >> 24);
        }
        return out;
    };
    Blake2s grand(32);
    for (const std::size_t digest_size : {16, 20, 28, 32}) {
        for (const std::size_t length : {0, 3, 64, 65, 255, 1024}) {
            const Bytes message = sequence(length, static_cast<std::uint32_t>(length));
            grand.update(digest_of(digest_size, {}, message));
            const Bytes key = sequence(digest_size, static_cast<std::uint32_t>(digest_size));
            grand.update(digest_of(digest_size, key, message));
        }
    }
    Bytes result(32);
    grand.finish(result);
    EXPECT_EQ(to_hex(result), "6a411f08ce25adcdfb02aba641451cec53c598b24f4fc787fbdc88797f4c1dfe");
}

struct HashlibVector {
    std::size_t message_length;
    std::size_t key_length;
    std::size_t digest_length;
    const char* digest;
};

constexpr HashlibVector hashlib_vectors[] = {
#include "blake2s_vectors.inc"
};

class Blake2sHashlib : public ::testing::TestWithParam<HashlibVector> {};

// Each vector whole, then fed in pieces of 1, 63, 64 and 65 bytes, which cross every buffering
// case (a full buffer held back as the possible last block, whole blocks taken directly).
TEST_P(Blake2sHashlib, MatchesHashlibWholeAndInPieces) {
    const HashlibVector& v = GetParam();
    const Bytes message = pattern_bytes(v.message_length, v.message_length);
    const Bytes key = pattern_bytes(v.key_length, 1000 + v.key_length);
    EXPECT_EQ(to_hex(digest_of(v.digest_length, key, message)), v.digest);
    for (const std::size_t piece : {1, 63, 64, 65}) {
        Blake2s hasher(v.digest_length, key);
        for (std::size_t at = 0; at < message.size(); at += piece) {
            const std::size_t take = std::min(piece, message.size() - at);
            hasher.update(std::span(message).subspan(at, take));
        }
        Bytes digest(v.digest_length);
        hasher.finish(digest);
        EXPECT_EQ(to_hex(digest), v.digest) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, Blake2sHashlib, ::testing::ValuesIn(hashlib_vectors));

// One-block messages hashed side by side give what each gives alone: every length 0 to 64, in
// batches of 1 to 9 (part of a group of four, several groups), lengths mixed within a batch.
TEST(Blake2s, OneBlockMessagesSideBySideMatchOneByOne) {
    std::vector<Bytes> messages;
    for (std::size_t length = 0; length <= Blake2s::block_size; ++length)
        messages.push_back(pattern_bytes(length, 7 * length));
    for (std::size_t batch = 1; batch <= 9; ++batch) {
        for (std::size_t first = 0; first + batch <= messages.size(); first += batch) {
            const std::vector<std::span<const std::uint8_t>> views(
                messages.begin() + static_cast<std::ptrdiff_t>(first),
                messages.begin() + static_cast<std::ptrdiff_t>(first + batch));
            std::vector<std::array<std::uint8_t, 32>> digests(batch);
            blake2s_one_block_each(views, digests);
            for (std::size_t i = 0; i < batch; ++i) {
                EXPECT_EQ(to_hex(Bytes(digests[i].begin(), digests[i].end())),
                          to_hex(digest_of(32, {}, messages[first + i])))
                    << "batch " << batch << " length " << first + i;
            }
        }
    }
    const Bytes long_message(Blake2s::block_size + 1, 1);
    std::vector<std::array<std::uint8_t, 32>> one(1);
    EXPECT_THROW(blake2s_one_block_each({{std::span<const std::uint8_t>(long_message)}}, one),
                 std::invalid_argument);
    EXPECT_THROW(blake2s_one_block_each({{messages[1], messages[2]}}, one), std::invalid_argument);
}

TEST(Blake2s, RefusesSizesOutsideItsRange) {
    for (const auto& [digest_size, key_size] :
         {std::pair<std::size_t, std::size_t>{0, 0}, {33, 0}, {32, 33}}) {
        EXPECT_THROW(Blake2s(digest_size, Bytes(key_size, 1)), std::invalid_argument)
            << digest_size << " " << key_size;
    }
}

}  // namespace
}  // namespace varnhold
