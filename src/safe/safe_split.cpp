#include "safe/safe_split.hpp"

#include "blakley/blakley.hpp"
#include "common/memory_limit.hpp"
#include "common/wipe.hpp"
#include "safe/batched_source.hpp"
#include "shamir/chunks.hpp"
#include "shamir/shamir.hpp"

namespace varnhold {
namespace {

constexpr std::size_t set_id_bytes = 8;
constexpr std::uint64_t element_bytes = 16;  // two 64-bit draws

class EnvelopeWriter final : public ShareWriter {
public:
    EnvelopeWriter(Scheme scheme, std::uint64_t k, BatchedByteSource& batch, ShareWriter& out)
        : scheme_(scheme), k_(k), batch_(batch), out_(out) {}

    void begin(std::size_t count) override {
        set_id_ = batch_.prefix_u64();
        out_.begin(count);
    }

    void add(std::string_view text) override {
        std::string share = wrap_share(EnvelopeHeader{scheme_, k_, set_id_, ++number_}, text);
        out_.add(share);
        secure_wipe(share.data(), share.size());
    }

private:
    Scheme scheme_;
    std::uint64_t k_;
    BatchedByteSource& batch_;
    ShareWriter& out_;
    std::uint64_t set_id_ = 0;
    uint128 number_ = 0;
};

}  // namespace

Result<void> safe_split(Scheme scheme, std::string_view secret, std::uint64_t k, std::uint64_t n,
                        ByteSource& random, ShareWriter& out) {
    // Nothing is requested until the split has validated its arguments, so the plan may be
    // nonsense for arguments it will reject.
    const std::uint64_t degree = k == 0 ? 0 : k - 1;
    std::uint64_t elements = saturating_mul(chunk_count, degree);
    if (scheme == Scheme::blakley) elements = saturating_add(elements, saturating_mul(n, k));
    const std::uint64_t planned = saturating_mul(elements, element_bytes);
    const bool plausible = k >= 2 && n >= k && n <= max_shares && secret.size() == secret_length;
    if (plausible) require_fits_in_memory(planned);
    BatchedByteSource batch(random, plausible ? static_cast<std::size_t>(planned) : 0, set_id_bytes);
    EnvelopeWriter writer(scheme, k, batch, out);
    return scheme == Scheme::shamir ? shamir_split(secret, k, n, batch, writer)
                                    : blakley_split(secret, k, n, batch, writer);
}

}  // namespace varnhold
