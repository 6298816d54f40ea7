#include "common/stop_check.hpp"

#include <atomic>

namespace varnhold {
namespace {

std::atomic<StopHook> installed_hook{nullptr};

}  // namespace

void set_stop_hook(StopHook hook) noexcept {
    installed_hook.store(hook, std::memory_order_release);
}

void StopCheck::ask() {
    budget_ = stop_check_interval;
    if (const StopHook hook = installed_hook.load(std::memory_order_acquire)) hook();
}

}  // namespace varnhold
