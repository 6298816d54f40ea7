// Shamir combine on arbitrary share lists and thresholds. A rebuilt secret must not depend on the
// order of the first k shares and must match a plain Lagrange interpolation with one inversion
// per share; every failure must carry one of the combine's messages.

#include <array>

#include "field/chunks.hpp"
#include "fuzz_support.hpp"
#include "shamir/shamir.hpp"
#include "shamir/shamir_share.hpp"

using namespace varnhold;

namespace {

// Lagrange at zero term by term: basis_i = prod (0 - x_j) / prod (x_i - x_j).
SecretBytes interpolate_directly(const std::vector<ShamirShare>& shares) {
    std::array<FieldElement, chunk_count> chunks{};
    for (std::size_t i = 0; i < shares.size(); ++i) {
        FieldElement num{1};
        FieldElement den{1};
        for (std::size_t j = 0; j < shares.size(); ++j) {
            if (j == i) continue;
            num = field_mul(num, field_sub(FieldElement{}, FieldElement{shares[j].index}));
            den = field_mul(
                den, field_sub(FieldElement{shares[i].index}, FieldElement{shares[j].index}));
        }
        fuzz::check(den.value != 0, "distinct indices gave a zero denominator");
        const FieldElement basis = field_mul(num, field_inv(den));
        for (std::size_t c = 0; c < chunk_count; ++c) {
            chunks[c] = field_add(chunks[c], field_mul(basis, shares[i].values[c]));
        }
    }
    SecretBytes secret;
    chunks_to_secret(chunks, secret);
    return secret;
}

constexpr std::size_t max_checked_k = 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ShareList list = fuzz::read_share_list(data, size);
    const Result<SecretBytes> result = shamir_combine(list.shares, list.k);
    if (!result) {
        const std::string& message = result.error().message;
        fuzz::check(
            fuzz::starts_with_any(
                message, {"Invalid k: threshold must be at least 2", "Need at least ",
                          "Invalid format", "Invalid share index: ", "Duplicate share index ",
                          "Invalid share value: expected exactly 32 "
                          "hex chars",
                          "Invalid share value: value must be < "
                          "2^127-1"}),
            "unexpected message", message);
        return 0;
    }
    const std::size_t k = fuzz::check_success(list, *result, shamir_combine);

    if (k <= max_checked_k) {
        std::vector<ShamirShare> parsed;
        for (std::size_t i = 0; i < k; ++i) {
            Result<ShamirShare> share = parse_shamir_share(list.shares[i]);
            fuzz::check(share.ok(), "combine accepted a share the parser rejects", list.shares[i]);
            parsed.push_back(*share);
        }
        fuzz::check(interpolate_directly(parsed).bytes == result->bytes,
                    "combine differs from direct interpolation");
    }
    return 0;
}
