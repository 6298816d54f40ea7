#include <cstdio>
#include <cstdlib>

#include "field/field.hpp"

namespace varnhold::field_detail {

void not_canonical() noexcept {
    std::fputs("varnhold: a field element was given a value that is not below p\n", stderr);
    std::abort();
}

}  // namespace varnhold::field_detail
