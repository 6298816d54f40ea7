#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "common/share_writer.hpp"
#include "common/small_vector.hpp"
#include "common/stop_check.hpp"
#include "common/wipe.hpp"

namespace varnhold::binding {

// Each extract_* returns nothing with the Python error pending on failure; the caller passes the
// failure through argument_error with the parameter's name.

// The bytes of a bytes object (or subclass), without a copy: the caller keeps the object alive.
std::optional<std::string_view> extract_secret(PyObject* object);

// An unsigned 64-bit size from an int or any object with __index__.
std::optional<std::uint64_t> extract_size(PyObject* object);

// The UTF-8 texts of a sequence of str, in iteration order. The views point into UTF-8 bytes
// objects that this value owns (with some of the str objects, kept alive while they are
// recognised by address). A str object that appears more than once is copied at most twice.
// A call with up to this many shares allocates nothing to hold them.
inline constexpr std::size_t inline_share_count = 8;
struct ShareTexts {
    // What keeps the views valid, in no order that matches them: a repeated item adds a view
    // into an earlier copy and no owner, and a tracked item adds two owners (its copy and itself).
    SmallVector<PyRef, inline_share_count> owners;
    // One per item of the sequence.
    SmallVector<std::string_view, inline_share_count> views;
};
// Fills `texts`, which starts empty; false, with the Python error pending, on failure.
bool extract_share_texts(PyObject* object, ShareTexts& texts);

// Builds the Python list of a split's shares while the split writes them, so that no second
// copy of the whole output is ever held. add() throws PythonErrorPending when a signal handler
// raised (Ctrl-C), and InternalFailure when a str object cannot be made.
class PyListShareWriter final : public ShareWriter {
public:
    void begin(std::size_t count) override;
    void add(std::string_view text) override;
    PyObject* release() noexcept { return list_.release(); }

private:
    // The work of making one str object, beside a unit per 8 characters.
    static constexpr std::uint64_t text_work = 16;

    PyRef list_;
    Py_ssize_t next_ = 0;
    StopCheck stop_;
};

// A new bytes object of the 32 bytes; the caller's buffer is wiped by its owner right after.
PyObject* make_bytes(const SecretBytes& secret);

}  // namespace varnhold::binding
