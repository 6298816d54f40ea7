#include "safe/share_tag.hpp"

#include <algorithm>
#include <array>

#include "common/wipe.hpp"
#include "hash/blake2s.hpp"

namespace varnhold {
namespace {

// Bytes 0 to 15 of a digest as a big-endian integer below 2^127 (the top bit cleared).
uint128 digest_value(const std::array<std::uint8_t, 32>& digest) noexcept {
    uint128 v = 0;
    for (std::size_t i = 0; i < 16; ++i) v = (v << 8) | digest[i];
    return v & (field_modulus);  // p = 2^127 - 1 is the mask of the low 127 bits
}

void put_big_endian(std::uint64_t v, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

}  // namespace

FieldElement secret_tag(FieldElement key, std::span<const std::uint8_t, 32> secret) noexcept {
    std::array<std::uint8_t, 16> key_bytes{};
    std::array<std::uint8_t, 32> digest{};
    const WipeAtExit wipe_key(key_bytes);
    const WipeAtExit wipe_digest(digest);
    put_big_endian(static_cast<std::uint64_t>(key.value >> 64), key_bytes.data());
    put_big_endian(static_cast<std::uint64_t>(key.value), key_bytes.data() + 8);
    blake2s(digest, key_bytes, secret);
    const FieldElement tag = field_reduce(digest_value(digest));
    return tag;
}

namespace {

using NodeMessage = std::array<std::uint8_t, 23>;

NodeMessage node_message(std::uint64_t set_id, std::uint64_t number) noexcept {
    NodeMessage message{'v', 'h', '2', ' ', 'r', 'o', 'w'};
    put_big_endian(set_id, message.data() + 7);
    put_big_endian(number, message.data() + 15);
    return message;
}

FieldElement node_of_digest(const std::array<std::uint8_t, 32>& digest) noexcept {
    const uint128 u = digest_value(digest);
    const uint128 p_minus_1 = field_modulus - 1;
    return FieldElement{(u >= p_minus_1 ? u - p_minus_1 : u) + 1};
}

}  // namespace

FieldElement blakley_node(std::uint64_t set_id, std::uint64_t number) noexcept {
    const NodeMessage message = node_message(set_id, number);
    std::array<std::uint8_t, 32> digest{};
    blake2s(digest, {}, message);
    return node_of_digest(digest);
}

void blakley_nodes(std::uint64_t set_id, std::span<const std::uint64_t> numbers,
                   std::span<FieldElement> nodes) {
    constexpr std::size_t batch = 4;
    for (std::size_t first = 0; first < numbers.size(); first += batch) {
        const std::size_t count = std::min(batch, numbers.size() - first);
        std::array<NodeMessage, batch> messages{};
        std::array<std::span<const std::uint8_t>, batch> views{};
        std::array<std::array<std::uint8_t, 32>, batch> digests{};
        for (std::size_t i = 0; i < count; ++i) {
            messages[i] = node_message(set_id, numbers[first + i]);
            views[i] = messages[i];
        }
        blake2s_one_block_each(std::span(views).first(count), digests);
        for (std::size_t i = 0; i < count; ++i) nodes[first + i] = node_of_digest(digests[i]);
    }
}

}  // namespace varnhold
