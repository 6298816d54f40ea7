#pragma once

#include <cstdint>
#include <optional>

#include "binding/entry.hpp"
#include "field/field.hpp"
#include "safe/envelope.hpp"
#include "safe/share_set.hpp"

// The checks of the package varnhold's arguments, with their messages. They live here, once:
// the native code must check every argument before it reads it, and the package's functions
// pass theirs on unchanged. Each returns false with the Python error pending.
namespace varnhold::binding {

// split(secret, k, n, scheme): the types and signs of bound[0..2] and the scheme bound[3], then
// the conversions of varnhold_core's splits, with their messages.
bool package_split_arguments(SplitArguments& arguments, Scheme& scheme);

// shares: any iterable of str but a single str or bytes; their texts go into out.shares and
// what keeps them alive into out.bound[0].
bool package_shares(PyObject* shares, SharesArguments& out);

// k: None (0) or an int from 2 to envelope_max_k (ShareError outside).
bool package_k(PyObject* value, std::uint64_t& k);

// unchecked: a bool, the caller's word that exactly k bare shares may be read unchecked.
bool package_unchecked(PyObject* value, BareCheck& bare_check);

// reshare's k, n and scheme: k and n as split takes them, the scheme None (nothing: the set's)
// or a scheme's name.
bool package_reshare_arguments(PyObject* k, PyObject* n, PyObject* scheme, std::uint64_t& new_k,
                               std::uint64_t& new_n, std::optional<Scheme>& new_scheme);

// index: None (nothing) or an int from 1 to below 2^127-1 (ShareError outside).
bool package_index(PyObject* value, std::optional<uint128>& index);

}  // namespace varnhold::binding
