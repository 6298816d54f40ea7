#pragma once

#include <cstdint>

namespace varnhold {

// Long loops ask at bounded intervals whether their call should stop (someone pressed Ctrl-C).
// The core does not know who answers: whoever drives it installs a hook, which ends the call by
// throwing, so that unwinding releases and wipes everything as on any other failure. Without a
// hook nothing ever stops, and a check is a subtraction and a branch.
using StopHook = void (*)();

// The hook of the whole process; null (the default) never stops. It is installed before any
// call runs and not changed while one does.
void set_stop_hook(StopHook hook) noexcept;

// A unit of work is about one field multiplication, a few nanoseconds. The hook is asked once
// per interval, about a millisecond of work: a call never runs near 0.1 s without asking, and
// small calls (a 3-of-5 split, a combine of 3 shares) never ask at all.
inline constexpr std::int64_t stop_check_interval = std::int64_t{1} << 18;

// The work of one draw from a random source: each draw may be its own request to the kernel.
inline constexpr std::uint64_t draw_work = 256;
// The work of reading one field element's hexadecimal text.
inline constexpr std::uint64_t parse_work = 8;

// A work counter local to one loop or call. A loop that calls a function with its own counter
// counts that function's work too, so that many calls each below the interval still ask.
class StopCheck {
public:
    // Counts `units` of work done since the last call and asks the hook once the interval is
    // used up. Throws whatever the hook throws.
    void work(std::uint64_t units) {
        budget_ -= static_cast<std::int64_t>(units & (~std::uint64_t{0} >> 2));
        if (budget_ <= 0) [[unlikely]]
            ask();
    }

private:
    void ask();

    std::int64_t budget_ = stop_check_interval;
};

}  // namespace varnhold
