#pragma once

// Shared by the fuzz targets: how an input becomes a threshold and a list of share texts, a byte
// source that replays the input, and a check that aborts so libFuzzer records the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "common/wipe.hpp"
#include "random/byte_source.hpp"

namespace varnhold::fuzz {

// Aborts with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s [%.*s]\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

inline void check(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) fail(what, detail);
}

inline bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> heads) {
    for (const std::string_view head : heads) {
        if (text.substr(0, head.size()) == head) return true;
    }
    return false;
}

// "k\nshare\nshare..." with k in decimal (saturating at UINT64_MAX, so a huge k is reachable).
// The texts point into the input. Newlines keep seeds readable; they never occur in a valid
// share, and a share text may hold any other byte.
struct ShareList {
    std::uint64_t k = 0;
    std::vector<std::string_view> shares;
};

inline ShareList read_share_list(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    ShareList list;
    std::size_t line_end = input.find('\n');
    const std::string_view first = input.substr(0, line_end);
    for (const char c : first) {
        if (c < '0' || c > '9') continue;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        list.k = list.k > (UINT64_MAX - digit) / 10 ? UINT64_MAX : list.k * 10 + digit;
    }
    while (line_end != std::string_view::npos) {
        const std::size_t start = line_end + 1;
        line_end = input.find('\n', start);
        list.shares.push_back(input.substr(
            start, line_end == std::string_view::npos ? std::string_view::npos : line_end - start));
    }
    return list;
}

// Hands out the bytes it was given, then an xorshift stream seeded from them: the stream never
// runs dry and never settles on one value, so a rejection loop always ends.
class ReplaySource final : public ByteSource {
public:
    ReplaySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        for (std::size_t i = 0; i < size; ++i) state_ = (state_ ^ data[i]) * 0x100000001b3ULL;
        if (state_ == 0) state_ = 1;
    }

    void fill(std::uint8_t* out, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) {
            if (position_ < size_) {
                out[i] = data_[position_++];
            } else {
                state_ ^= state_ << 13;
                state_ ^= state_ >> 7;
                state_ ^= state_ << 17;
                out[i] = static_cast<std::uint8_t>(state_ >> 56);
            }
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::uint64_t state_ = 0xcbf29ce484222325ULL;
};

// What holds after any successful combine: k is at least 2, there were at least k shares, and
// the first k in reverse order give the same secret. Returns k.
template <class Combine>
std::size_t check_success(const ShareList& list, const SecretBytes& secret, Combine combine) {
    check(list.k >= 2 && list.shares.size() >= list.k, "success without enough shares");
    const auto k = static_cast<std::size_t>(list.k);
    std::vector<std::string_view> reversed(list.shares.begin(), list.shares.begin() + k);
    std::reverse(reversed.begin(), reversed.end());
    const auto again = combine(reversed, list.k);
    check(again.ok() && again->bytes == secret.bytes, "order of the shares mattered");
    return k;
}

}  // namespace varnhold::fuzz
