#pragma once

// Share-like texts and random typing errors, for the tests of the version 2 check and for
// bench/cpp/check_random_errors.cpp.

#include <cstdint>
#include <random>
#include <string>

namespace varnhold::testing {

inline constexpr char first_printable = 0x21;
inline constexpr char last_printable = 0x7E;

// A text shaped like a version 2 Shamir share (tag, scheme, k, set id, number, values in
// lower-case hex joined by colons) of exactly `length` characters.
inline std::string share_like_text(std::size_t length, std::mt19937_64& random) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text = "vh2-s-3-";
    for (int i = 0; i < 16; ++i) text += hex[random() % 16];
    text += "-7";
    while (text.size() < length) {
        text += ':';
        for (int i = 0; i < 32 && text.size() < length; ++i) text += hex[random() % 16];
    }
    return text;
}

inline char random_printable(std::mt19937_64& random) {
    return static_cast<char>(first_printable + random() % (last_printable - first_printable + 1));
}

// One random typing error: a substituted character (half of the time a hex digit, as a share's
// digits are), two neighbours swapped, a character inserted or one removed.
inline void add_random_error(std::string& text, std::mt19937_64& random) {
    static constexpr char hex[] = "0123456789abcdef";
    const std::size_t at = random() % text.size();
    switch (random() % 4) {
        case 0:
            text[at] = random() % 2 == 0 ? hex[random() % 16] : random_printable(random);
            break;
        case 1:
            if (at + 1 < text.size()) std::swap(text[at], text[at + 1]);
            break;
        case 2:
            text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), random_printable(random));
            break;
        default:
            if (text.size() > 1) text.erase(at, 1);
            break;
    }
}

}  // namespace varnhold::testing
