#include "field/polynomial.hpp"

namespace varnhold {

bool invert_public_batch(FieldElement* values, FieldElement* prefix, std::size_t count) noexcept {
    FieldElement product{1};
    for (std::size_t r = 0; r < count; ++r) {
        prefix[r] = product;
        product = field_mul(product, values[r]);
    }
    FieldElement remaining = field_inv_public(product);
    if (remaining == FieldElement{}) return false;
    // remaining = 1 / (v_0 ... v_i); walking down peels one value off at a time.
    for (std::size_t i = count; i-- > 0;) {
        const FieldElement inverse_i = field_mul(remaining, prefix[i]);
        remaining = field_mul(remaining, values[i]);
        values[i] = inverse_i;
    }
    return true;
}

}  // namespace varnhold
