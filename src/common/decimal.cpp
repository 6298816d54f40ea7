#include "common/decimal.hpp"

namespace varnhold {

std::size_t write_decimal(uint128 value, char* out) noexcept {
    char reversed[40];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
    return count;
}

std::string to_decimal(uint128 value) {
    char digits[40];
    return std::string(digits, write_decimal(value, digits));
}

}  // namespace varnhold
