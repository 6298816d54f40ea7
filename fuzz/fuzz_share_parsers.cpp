// The Shamir and Blakley share parsers on arbitrary text. A parsed share written back out must
// parse to the same share, and the two Blakley parsing paths (into a record, into the caller's
// row) must agree on every input, error message included.

#include <array>

#include "blakley/blakley_share.hpp"
#include "fuzz_support.hpp"
#include "shamir/shamir_share.hpp"

using namespace varnhold;

namespace {

void check_shamir(std::string_view text) {
    const Result<ShamirShare> share = parse_shamir_share(text);
    if (!share) {
        fuzz::check(fuzz::starts_with_any(
                        share.error().message,
                        {"Invalid format", "Invalid share index: ", "Invalid share value: "}),
                    "unexpected Shamir message", share.error().message);
        return;
    }
    fuzz::check(share->index < field_modulus, "index not below p");
    const std::string written = format_shamir_share(share->index, share->values);
    const Result<ShamirShare> reread = parse_shamir_share(written);
    fuzz::check(reread.ok() && reread->index == share->index && reread->values == share->values,
                "written share does not parse back", written);
}

void check_blakley(std::string_view text, std::uint64_t k) {
    const Result<BlakleyShare> share = parse_blakley_share(text, 3, k);
    // The row form stores exactly k coefficients; the guards on either side catch a write past.
    std::vector<FieldElement> row(static_cast<std::size_t>(k) + 2, FieldElement{5});
    std::array<FieldElement, chunk_count> constants{};
    const Result<void> into = parse_blakley_share_into(
        text, 3, k, std::span<FieldElement>(row.data() + 1, static_cast<std::size_t>(k)),
        constants);
    fuzz::check(row.front() == FieldElement{5} && row.back() == FieldElement{5},
                "row parse wrote outside its k coefficients");
    fuzz::check(share.ok() == into.ok(), "the two parsing paths disagree");
    if (!share) {
        fuzz::check(share.error().message == into.error().message,
                    "the two parsing paths report different messages", share.error().message);
        fuzz::check(fuzz::starts_with_any(share.error().message,
                                          {"Share 3 has invalid format: expected 5 parts, got ",
                                           "Share 3 has invalid number of coefficients: expected ",
                                           "Invalid coefficient: ", "Invalid share value: "}),
                    "unexpected Blakley message", share.error().message);
        return;
    }
    fuzz::check(share->coefficients.size() == k, "parsed share does not hold k coefficients");
    fuzz::check(
        std::equal(share->coefficients.begin(), share->coefficients.end(), row.begin() + 1) &&
            constants == share->constants,
        "the two parsing paths read different values");
    std::string written(static_cast<std::size_t>(blakley_share_length(k)), '\0');
    write_blakley_share(share->coefficients, share->constants, written.data());
    const Result<BlakleyShare> reread = parse_blakley_share(written, 0, k);
    fuzz::check(reread.ok() && reread->coefficients == share->coefficients &&
                    reread->constants == share->constants,
                "written share does not parse back", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte is the threshold the Blakley parser expects; the rest is the share text.
    const std::uint64_t k = data[0] % 16;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    check_shamir(text);
    check_blakley(text, k);
    return 0;
}
