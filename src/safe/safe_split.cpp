#include "safe/safe_split.hpp"

#include <cstring>

#include "common/wipe.hpp"
#include "field/chunks.hpp"
#include "safe/set_writer.hpp"

namespace varnhold {

Result<void> safe_split(Scheme scheme, std::string_view secret, std::uint64_t k, std::uint64_t n,
                        ByteSource& random, ShareWriter& out) {
    // The scheme's own messages, in its order: nothing is drawn before they pass.
    if (Result<void> valid = check_split_arguments(
            secret, k, n, scheme == Scheme::shamir ? "Invalid k/n parameters" : "Invalid k/n");
        !valid) {
        return valid;
    }
    SecretBytes bytes;
    std::memcpy(bytes.bytes.data(), secret.data(), SecretBytes::size);
    write_version_2_set(scheme, bytes, k, ShareNumbers{n, {}}, random, out);
    return {};
}

}  // namespace varnhold
