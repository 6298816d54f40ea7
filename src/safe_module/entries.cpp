#include "safe_module/entries.hpp"

#include <optional>
#include <string>
#include <vector>

#include "binding/entry.hpp"
#include "random/vdso_source.hpp"
#include "safe/safe_split.hpp"
#include "safe/share_set.hpp"
#include "safe_module/arguments.hpp"
#include "safe_module/quick_combine_call.hpp"
#include "safe_module/report.hpp"

namespace varnhold::binding {
namespace {

constexpr Signature split_signature{"split", 4, {"secret", "k", "n", "scheme"}};
constexpr Signature check_signature{"check", 2, {"shares", "k"}};
constexpr Signature combine_signature{"combine", 3, {"shares", "k", "unchecked"}};
constexpr Signature new_share_signature{"new_share", 4, {"shares", "k", "index", "unchecked"}};
constexpr Signature refresh_signature{"refresh", 3, {"shares", "k", "unchecked"}};
constexpr Signature reshare_signature{"reshare", 4, {"shares", "k", "n", "scheme"}};

// A new list of the texts.
PyObject* text_list(const std::vector<std::string>& texts) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyRef text = text_object(texts[i]);
        if (!text) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list.release();
}

// The package's checks of shares, k and (at `unchecked_slot`, when there is one) the opt-in for
// exactly k bare shares, then the set they make.
bool checked_set(SharesArguments& arguments, std::optional<ShareSet>& set,
                 std::size_t unchecked_slot = 0) {
    BareCheck bare_check = BareCheck::required;
    if (!package_shares(arguments.bound[0], arguments) ||
        !package_k(arguments.bound[1], arguments.k) ||
        (unchecked_slot != 0 && !package_unchecked(arguments.bound[unchecked_slot], bare_check))) {
        return false;
    }
    set.emplace(arguments.shares.views, arguments.k, bare_check);
    return true;
}

// Binds (shares, k[, unchecked]), then checked_set.
bool read_set(const Signature& signature, PyObject* args, PyObject* kwargs,
              SharesArguments& arguments, std::optional<ShareSet>& set,
              std::size_t unchecked_slot = 0) {
    return bind_arguments(signature, args, kwargs, arguments.bound) &&
           checked_set(arguments, set, unchecked_slot);
}

PyObject* split_body(PyObject* args, PyObject* kwargs) {
    SplitArguments arguments;
    Scheme scheme = Scheme::shamir;
    if (!bind_arguments(split_signature, args, kwargs, arguments.bound) ||
        !package_split_arguments(arguments, scheme)) {
        return nullptr;
    }
    PyListShareWriter shares;
    if (Result<void> done = safe_split(scheme, arguments.secret, arguments.k, arguments.n,
                                       process_vdso_source(), shares);
        !done) {
        raise_sharing_error(done.error());
        return nullptr;
    }
    return shares.release();
}

PyObject* check_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    std::optional<ShareSet> set;
    if (!read_set(check_signature, args, kwargs, arguments, set)) return nullptr;
    return report_object(set->report()).release();
}

// The common case (a list of exactly k shares of one set) from texts held on the stack; every
// other call, failures included, reads the set in full, which reports and raises.
PyObject* combine_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    if (!bind_arguments(combine_signature, args, kwargs, arguments.bound)) return nullptr;
    if (PyObject* secret = quick_combine_call(arguments.bound[0], arguments.bound[1])) {
        return secret;
    }
    if (PyErr_Occurred() != nullptr) return nullptr;
    std::optional<ShareSet> set;
    if (!checked_set(arguments, set, 2)) return nullptr;
    if (!set->report().usable()) {
        raise_report_error(set->report(), "the shares do not rebuild a secret");
        return nullptr;
    }
    SecretBytes bytes;
    set->secret(bytes);
    return make_bytes(bytes);
}

PyObject* new_share_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    std::optional<uint128> index;
    BareCheck bare_check = BareCheck::required;
    if (!bind_arguments(new_share_signature, args, kwargs, arguments.bound) ||
        !package_shares(arguments.bound[0], arguments) ||
        !package_index(arguments.bound[2], index) || !package_k(arguments.bound[1], arguments.k) ||
        !package_unchecked(arguments.bound[3], bare_check)) {
        return nullptr;
    }
    const ShareSet set(arguments.shares.views, arguments.k, bare_check);
    if (!set.report().usable()) {
        raise_report_error(set.report(), "no share could be made");
        return nullptr;
    }
    Result<std::string> share = set.new_share(index, process_vdso_source());
    if (!share) {
        raise_share_problem(share.error().message);
        return nullptr;
    }
    return text_object(*share).release();
}

PyObject* refresh_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    std::optional<ShareSet> set;
    if (!read_set(refresh_signature, args, kwargs, arguments, set, 2)) return nullptr;
    const SetReport& report = set->report();
    // A set of envelopes of either scheme is split afresh; bare shares only get a new polynomial.
    if (report.scheme == Scheme::blakley && !report.envelopes && report.problem.empty()) {
        raise_share_problem("Blakley shares cannot be refreshed; only Shamir shares can");
        return nullptr;
    }
    if (!report.usable()) {
        raise_report_error(report, "the shares could not be refreshed");
        return nullptr;
    }
    Result<std::vector<std::string>> shares = set->refresh(process_vdso_source());
    if (!shares) {
        raise_share_problem(shares.error().message);
        return nullptr;
    }
    return text_list(*shares);
}

// The set is read as combine reads it; its secret is split again inside the one call and never
// leaves native memory, which is wiped.
PyObject* reshare_body(PyObject* args, PyObject* kwargs) {
    SharesArguments arguments;
    std::uint64_t k = 0, n = 0;
    std::optional<Scheme> scheme;
    if (!bind_arguments(reshare_signature, args, kwargs, arguments.bound) ||
        !package_shares(arguments.bound[0], arguments) ||
        !package_reshare_arguments(arguments.bound[1], arguments.bound[2], arguments.bound[3], k, n,
                                   scheme)) {
        return nullptr;
    }
    const ShareSet set(arguments.shares.views, 0);
    if (!set.report().usable()) {
        raise_report_error(set.report(), "the shares could not be reshared");
        return nullptr;
    }
    Result<std::vector<std::string>> shares =
        set.reshare(scheme.value_or(*set.report().scheme), k, n, process_vdso_source());
    if (!shares) {
        raise_sharing_error(shares.error());
        return nullptr;
    }
    return text_list(*shares);
}

}  // namespace

PyObject* split_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<split_body>(self, args, kwargs);
}
PyObject* check_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<check_body>(self, args, kwargs);
}
PyObject* combine_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<combine_body>(self, args, kwargs);
}
PyObject* new_share_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<new_share_body>(self, args, kwargs);
}
PyObject* refresh_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<refresh_body>(self, args, kwargs);
}
PyObject* reshare_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keyword_entry<reshare_body>(self, args, kwargs);
}
PyObject* random_source_entry(PyObject* /*self*/, PyObject* /*unused*/) {
    return PyUnicode_FromString(process_vdso_source().uses_vdso() ? "vdso" : "system call");
}

}  // namespace varnhold::binding
