// The cost of the primitives of envelope version 2: BLAKE2s keyed with 32 bytes over 32 bytes, the
// tag, the text check of a 245-character share on the portable and the carry-less CRC paths; and of
// the steps no small split or combine can avoid: the one draw of a 3-of-5 split (184 bytes) from
// the vDSO and from the system call, and the one inversion of a Blakley combine, whose nodes are
// as wide as the field (beside the constant-time inversion).
// Prints, in nanoseconds per call, the fastest and the median of 21 rounds (each round the mean of
// 20000 calls): on a machine shared with other work the fastest round is the closer estimate of
// the cost itself, the median shows the spread.
//
// Build with -DVARNHOLD_BUILD_BENCH=ON; run build/.../bench/cpp/varnhold_primitives_cost.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hash/blake2s.hpp"
#include "hash/crc64.hpp"
#include "hash/text_check.hpp"
#include "random/entropy_source.hpp"
#include "random/vdso_source.hpp"
#include "safe/share_tag.hpp"

using namespace varnhold;

namespace {

volatile std::uint64_t sink;

struct Timing {
    double fastest;
    double median;
};

template <class F>
Timing time_ns(F&& call, int calls_per_round = 20000, int rounds = 21) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls_per_round; ++i) sink = sink + call();
        const std::chrono::duration<double, std::nano> spent =
            std::chrono::steady_clock::now() - start;
        times.push_back(spent.count() / calls_per_round);
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

void report(const char* what, Timing t) {
    std::printf("%-48s fastest %6.0f ns  median %6.0f ns\n", what, t.fastest, t.median);
}

}  // namespace

int main() {
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 32> message{};
    for (std::size_t i = 0; i < 32; ++i) {
        key[i] = static_cast<std::uint8_t>(3 * i + 1);
        message[i] = static_cast<std::uint8_t>(5 * i + 2);
    }
    std::array<std::uint8_t, 32> digest{};
    const Timing keyed = time_ns([&] {
        message[0] = static_cast<std::uint8_t>(message[0] + 1);
        blake2s(digest, key, message);
        return std::uint64_t{digest[0]};
    });
    report("BLAKE2s keyed with 32 bytes, 32-byte message", keyed);

    std::string text = "vh2-s-3-0123456789abcdef-2:";
    while (text.size() < 245) text += "0123456789abcdef"[(text.size() * 7) % 16];
    char digits[text_check_length];
    const Timing check = time_ns([&] {
        text[40] = static_cast<char>('0' + (text[40] - '0' + 1) % 10);
        return std::uint64_t{write_text_check(text, digits)} + static_cast<unsigned char>(digits[0]);
    });
    report(crc64_clmul_available() ? "text check, 245 characters (carry-less CRC)"
                                   : "text check, 245 characters (portable CRC)",
           check);
    const Timing portable = time_ns([&] { return crc64_portable(text); });
    report("CRC-64 alone, 245 characters, portable path", portable);
#if defined(__x86_64__)
    if (crc64_clmul_available()) {
        const Timing clmul = time_ns([&] { return crc64_clmul(text); });
        report("CRC-64 alone, 245 characters, carry-less path", clmul);
    }
#endif

    const Timing tag = time_ns([&] {
        message[0] = static_cast<std::uint8_t>(message[0] + 1);
        return static_cast<std::uint64_t>(secret_tag(FieldElement{sink + 12345}, message).low());
    });
    report("the tag (BLAKE2s keyed with 16 bytes)", tag);

    std::array<std::uint8_t, 184> drawn{};
    VdsoEntropySource& vdso = process_vdso_source();
    const Timing from_vdso = time_ns([&] {
        vdso.fill(drawn.data(), drawn.size());
        return std::uint64_t{drawn[0]};
    });
    report(vdso.uses_vdso() ? "184 random bytes from the vDSO"
                            : "184 random bytes (no vDSO here: the system call)",
           from_vdso);
    const Timing from_kernel = time_ns([&] {
        process_entropy_source().fill(drawn.data(), drawn.size());
        return std::uint64_t{drawn[0]};
    });
    report("184 random bytes from the getrandom system call", from_kernel);

    // Pseudo-random wide values: public data, as the Blakley nodes are.
    std::vector<FieldElement> wide;
    uint128 state = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 1024; ++i) {
        state = state * 0x5851F42D4C957F2Du + 0x14057B7EF767814Fu;
        wide.push_back(FieldElement{(state ^ (state << 64)) & field_modulus});
    }
    std::size_t next = 0;
    const auto inverse_of_next = [&](auto inverse) {
        next = (next + 1) % wide.size();
        return static_cast<std::uint64_t>(inverse(wide[next]).low());
    };
    report("inverse of a wide public value", time_ns([&] {
               return inverse_of_next([](FieldElement x) { return field_inv_public(x); });
           }));
    report("inverse, constant time (wide value)", time_ns([&] {
               return inverse_of_next([](FieldElement x) { return field_inv(x); });
           }));
    return 0;
}
