#include "random/random_field.hpp"

namespace varnhold {
namespace {

constexpr std::uint64_t high_word_mask = (std::uint64_t{1} << 63) - 1;

uint128 raw_draw(ByteSource& source) {
    const std::uint64_t low = random_u64(source);
    const std::uint64_t high = random_u64(source) & high_word_mask;
    return (static_cast<uint128>(high) << 64) | low;
}

}  // namespace

FieldElement random_field_element(ByteSource& source) {
    const uint128 v = raw_draw(source);
    return FieldElement{v == field_modulus ? 0 : v};
}

FieldElement random_nonzero_field_element(ByteSource& source) {
    for (;;) {
        const uint128 v = raw_draw(source);
        if (v != 0 && v != field_modulus) return FieldElement{v};
    }
}

}  // namespace varnhold
