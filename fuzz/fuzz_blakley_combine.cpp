// Blakley combine on arbitrary share lists and thresholds. A rebuilt secret must not depend on
// the order of the first k shares and must match the general solver run on each chunk alone;
// every failure must carry one of the combine's messages.

#include "blakley/blakley.hpp"
#include "blakley/blakley_share.hpp"
#include "blakley/linear_solver.hpp"
#include "fuzz_support.hpp"

using namespace varnhold;

namespace {

constexpr std::size_t max_checked_k = 12;

void check_against_solver(const std::vector<std::string_view>& shares, std::size_t k,
                          const SecretBytes& secret) {
    std::vector<BlakleyShare> parsed;
    for (std::size_t i = 0; i < k; ++i) {
        Result<BlakleyShare> share = parse_blakley_share(shares[i], i, k);
        fuzz::check(share.ok(), "combine accepted a share the parser rejects", shares[i]);
        parsed.push_back(std::move(*share));
    }
    std::array<FieldElement, chunk_count> chunks{};
    for (std::size_t c = 0; c < chunk_count; ++c) {
        std::vector<FieldElement> matrix;
        std::vector<FieldElement> rhs;
        for (const BlakleyShare& share : parsed) {
            matrix.insert(matrix.end(), share.coefficients.begin(), share.coefficients.end());
            rhs.push_back(share.constants[c]);
        }
        Result<std::vector<FieldElement>> solution = solve_linear_system(matrix, rhs);
        fuzz::check(solution.ok() && solution->size() == k,
                    "the solver rejects a system the combine solved");
        chunks[c] = (*solution)[0];
    }
    SecretBytes expected;
    chunks_to_secret(chunks, expected);
    fuzz::check(expected.bytes == secret.bytes, "combine differs from the solver");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ShareList list = fuzz::read_share_list(data, size);
    const Result<SecretBytes> result = blakley_combine(list.shares, list.k);
    if (!result) {
        const std::string& message = result.error().message;
        fuzz::check(
            fuzz::starts_with_any(
                message,
                {"Not enough shares: got ", "Invalid k: threshold must be at least 2", "Share ",
                 "Invalid coefficient: expected exactly 32 hex chars",
                 "Invalid coefficient: value must be < 2^127-1",
                 "Invalid share value: expected exactly 32 hex chars",
                 "Invalid share value: value must be < 2^127-1", "System is linearly dependent"}),
            "unexpected message", message);
        return 0;
    }
    const std::size_t k = fuzz::check_success(list, *result, blakley_combine);

    if (k <= max_checked_k) check_against_solver(list.shares, k, *result);
    return 0;
}
