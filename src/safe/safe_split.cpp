#include "safe/safe_split.hpp"

#include <cstring>
#include <vector>

#include "blakley/blakley.hpp"
#include "common/decimal.hpp"
#include "common/memory_limit.hpp"
#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "random/batched_source.hpp"
#include "shamir/shamir.hpp"

namespace varnhold {
namespace {

constexpr std::size_t set_id_bytes = 8;
constexpr std::uint64_t element_bytes = 16;  // two 64-bit draws

// Writes each envelope into one buffer that lives as long as the split: the prefix the shares
// share is written once, and each share's number, bare text and check after it. The buffer holds
// share texts, so it is wiped once when the split ends, however it ends; the writer after this
// one copies each text during its add.
class EnvelopeWriter final : public ShareWriter {
public:
    EnvelopeWriter(Scheme scheme, std::uint64_t k, BatchedByteSource& batch, ShareWriter& out)
        : scheme_(scheme), k_(k), batch_(batch), out_(out) {}
    EnvelopeWriter(const EnvelopeWriter&) = delete;
    EnvelopeWriter& operator=(const EnvelopeWriter&) = delete;
    ~EnvelopeWriter() override {
        secure_wipe(stack_, stack_used_);
        secure_wipe(heap_.data(), heap_.size());
    }

    void begin(std::size_t count) override {
        prefix_length_ = write_envelope_prefix(scheme_, k_, batch_.prefix_u64(), stack_);
        out_.begin(count);
    }

    void add(std::string_view bare) override {
        const std::size_t needed = prefix_length_ + envelope_rest_overhead + bare.size();
        char* buffer = stack_;
        if (needed > sizeof stack_) {
            // Long Blakley shares (a large k): a heap buffer, replaced only by a larger one.
            if (heap_.size() < needed) grow_heap(needed);
            buffer = heap_.data();
        }
        const std::size_t length =
            write_envelope_rest(buffer, prefix_length_, {number_, number_length_}, bare);
        next_number();
        if (buffer == stack_ && length > stack_used_) stack_used_ = length;
        out_.add(std::string_view(buffer, length));
    }

private:
    // The numbers run 1, 2, .. n, so each one's decimal text is the last one's plus one, carried
    // from the right; numbers are public.
    void next_number() noexcept { increment_decimal(number_, number_length_); }

    void grow_heap(std::size_t needed) {
        std::vector<char> larger(needed + needed / 4);
        std::memcpy(larger.data(), stack_, prefix_length_);
        secure_wipe(heap_.data(), heap_.size());
        heap_.swap(larger);
    }

    Scheme scheme_;
    std::uint64_t k_;
    BatchedByteSource& batch_;
    ShareWriter& out_;
    std::size_t prefix_length_ = 0;
    char number_[20] = {'1'};
    std::size_t number_length_ = 1;
    std::size_t stack_used_ = 0;
    std::vector<char> heap_;
    // A Shamir share and a Blakley share of a small k fit.
    alignas(std::uint64_t) char stack_[640];
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
    BatchedByteSource batch(random, plausible ? static_cast<std::size_t>(planned) : 0,
                            set_id_bytes);
    EnvelopeWriter writer(scheme, k, batch, out);
    return scheme == Scheme::shamir ? shamir_split(secret, k, n, batch, writer)
                                    : blakley_split(secret, k, n, batch, writer);
}

}  // namespace varnhold
