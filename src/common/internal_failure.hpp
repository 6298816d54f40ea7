#pragma once

#include <stdexcept>
#include <string>

namespace varnhold {

// A failure that no argument can cause (the operating system's random source failing, an
// interpreter object that cannot be made). It is thrown, never returned, and caught only at the
// call boundary, which raises it in Python as PanicException with this message.
class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace varnhold
