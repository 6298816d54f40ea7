#include "binding/entry.hpp"

namespace varnhold::binding {
namespace {

bool conversion_failed(const char* parameter) {
    argument_error(parameter);
    return false;
}

}  // namespace

bool bind_split_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                          SplitArguments& out) {
    return bind_arguments(signature, args, kwargs, out.bound) && convert_split_arguments(out);
}

bool convert_split_arguments(SplitArguments& out) {
    const std::optional<std::string_view> secret = extract_secret(out.bound[0]);
    if (!secret) return conversion_failed("secret");
    const std::optional<std::uint64_t> k = extract_size(out.bound[1]);
    if (!k) return conversion_failed("k");
    const std::optional<std::uint64_t> n = extract_size(out.bound[2]);
    if (!n) return conversion_failed("n");
    out.secret = *secret;
    out.k = *k;
    out.n = *n;
    return true;
}

bool bind_shares_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                           SharesArguments& out) {
    return bind_arguments(signature, args, kwargs, out.bound) && convert_shares_arguments(out);
}

bool convert_shares_arguments(SharesArguments& out) {
    if (!extract_share_texts(out.bound[0], out.shares)) return conversion_failed("shares");
    const std::optional<std::uint64_t> k = extract_size(out.bound[1]);
    if (!k) return conversion_failed("k");
    out.k = *k;
    return true;
}

}  // namespace varnhold::binding
