#pragma once

#include <cstdint>

namespace varnhold {

// The address of a function the kernel's vDSO exports as `name` at symbol version `version`, or
// null: no vDSO (the auxiliary vector names none, as under valgrind), an image that is not a
// 64-bit ELF of this machine, or no such function at that version. `image` is where the vDSO is
// mapped (getauxval(AT_SYSINFO_EHDR)); 0 finds nothing.
void* vdso_function(std::uintptr_t image, const char* version, const char* name) noexcept;

// Where the kernel mapped this process's vDSO, or 0.
std::uintptr_t vdso_image() noexcept;

}  // namespace varnhold
