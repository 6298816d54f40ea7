#pragma once

// What a forger does to an altered envelope: writes the check again over the altered body, so that
// the test reaches whatever the check would otherwise stop.

#include <string>

#include "hash/text_check.hpp"
#include "safe/checksum.hpp"

namespace varnhold::testing {

// The text with the check after its last '-' recomputed: eighteen digits (version 2) or ten
// (version 1), as the text has.
inline std::string resealed(const std::string& text) {
    const std::size_t dash = text.rfind('-');
    const std::string body = text.substr(0, dash);
    if (text.size() - dash - 1 == text_check_length) {
        char check[text_check_length];
        (void)write_text_check(body, check);
        return body + "-" + std::string(check, sizeof check);
    }
    char check[envelope_check_length];
    write_envelope_check(envelope_check(body), check);
    return body + "-" + std::string(check, sizeof check);
}

}  // namespace varnhold::testing
