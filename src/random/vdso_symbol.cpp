#include "random/vdso_symbol.hpp"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstring>

static_assert(sizeof(void*) == 8, "the vDSO is read as a 64-bit image");

namespace varnhold {
namespace {

// The tables of the vDSO's dynamic section, as addresses in this process.
struct DynamicTables {
    const ElfW(Sym) * symbols = nullptr;
    const char* strings = nullptr;
    const ElfW(Word) * hash = nullptr;        // DT_HASH: nbucket, nchain, ...
    const std::uint32_t* gnu_hash = nullptr;  // DT_GNU_HASH
    const ElfW(Versym) * versions = nullptr;
    const ElfW(Verdef) * definitions = nullptr;
};

bool is_native_elf(const ElfW(Ehdr) * header) {
    return std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 &&
           header->e_ident[EI_CLASS] == ELFCLASS64 && header->e_phentsize == sizeof(ElfW(Phdr));
}

// The symbol count: DT_HASH's chain count, or with only DT_GNU_HASH one past the highest symbol
// any bucket's chain reaches.
std::size_t symbol_count(const DynamicTables& tables) {
    if (tables.hash != nullptr) return tables.hash[1];
    if (tables.gnu_hash == nullptr) return 0;
    const std::uint32_t buckets = tables.gnu_hash[0];
    const std::uint32_t first_hashed = tables.gnu_hash[1];
    const std::uint32_t bloom_words = tables.gnu_hash[2];
    const auto* bucket = tables.gnu_hash + 4 + bloom_words * (sizeof(ElfW(Addr)) / 4);
    const std::uint32_t* chain = bucket + buckets;
    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < buckets; ++i) last = bucket[i] > last ? bucket[i] : last;
    if (last < first_hashed) return first_hashed;
    // A chain ends at the entry whose low bit is set.
    while ((chain[last - first_hashed] & 1) == 0) ++last;
    return last + 1;
}

// Whether version index `index` is defined under the name `version`.
bool has_version(const DynamicTables& tables, ElfW(Half) index, const char* version) {
    const ElfW(Verdef)* definition = tables.definitions;
    for (;;) {
        if ((definition->vd_flags & VER_FLG_BASE) == 0 && (definition->vd_ndx & 0x7fff) == index) {
            const auto* aux = reinterpret_cast<const ElfW(Verdaux)*>(
                reinterpret_cast<const char*>(definition) + definition->vd_aux);
            return std::strcmp(tables.strings + aux->vda_name, version) == 0;
        }
        if (definition->vd_next == 0) return false;
        definition = reinterpret_cast<const ElfW(Verdef)*>(
            reinterpret_cast<const char*>(definition) + definition->vd_next);
    }
}

// The load bias of the image (mapped as one piece: an address in it is its file offset past
// `image`, and a link-time address is moved by the bias) and its dynamic section; false when
// either is missing.
bool find_layout(std::uintptr_t image, const ElfW(Ehdr) * header, std::uintptr_t& bias,
                 const ElfW(Dyn) * &dynamic) {
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(image + header->e_phoff);
    bool loaded = false;
    dynamic = nullptr;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD && !loaded) {
            bias = image + segments[i].p_offset - segments[i].p_vaddr;
            loaded = true;
        } else if (segments[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(image + segments[i].p_offset);
        }
    }
    return loaded && dynamic != nullptr;
}

DynamicTables read_tables(const ElfW(Dyn) * dynamic, std::uintptr_t bias) {
    DynamicTables tables;
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        const std::uintptr_t address = bias + entry->d_un.d_ptr;
        switch (entry->d_tag) {
            case DT_SYMTAB:
                tables.symbols = reinterpret_cast<const ElfW(Sym)*>(address);
                break;
            case DT_STRTAB:
                tables.strings = reinterpret_cast<const char*>(address);
                break;
            case DT_HASH:
                tables.hash = reinterpret_cast<const ElfW(Word)*>(address);
                break;
            case DT_GNU_HASH:
                tables.gnu_hash = reinterpret_cast<const std::uint32_t*>(address);
                break;
            case DT_VERSYM:
                tables.versions = reinterpret_cast<const ElfW(Versym)*>(address);
                break;
            case DT_VERDEF:
                tables.definitions = reinterpret_cast<const ElfW(Verdef)*>(address);
                break;
            default:
                break;
        }
    }
    return tables;
}

}  // namespace

std::uintptr_t vdso_image() noexcept { return ::getauxval(AT_SYSINFO_EHDR); }

void* vdso_function(std::uintptr_t image, const char* version, const char* name) noexcept {
    if (image == 0) return nullptr;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(image);
    if (!is_native_elf(header)) return nullptr;
    std::uintptr_t bias = 0;
    const ElfW(Dyn)* dynamic = nullptr;
    if (!find_layout(image, header, bias, dynamic)) return nullptr;
    const DynamicTables tables = read_tables(dynamic, bias);
    // The kernel versions every symbol it exports; an image without versions is not one of its.
    if (tables.symbols == nullptr || tables.strings == nullptr || tables.versions == nullptr ||
        tables.definitions == nullptr) {
        return nullptr;
    }
    const std::size_t count = symbol_count(tables);
    for (std::size_t i = 0; i < count; ++i) {
        const ElfW(Sym)& symbol = tables.symbols[i];
        const unsigned binding = ELF64_ST_BIND(symbol.st_info);
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF ||
            (binding != STB_GLOBAL && binding != STB_WEAK)) {
            continue;
        }
        if (std::strcmp(tables.strings + symbol.st_name, name) != 0) continue;
        if (!has_version(tables, tables.versions[i] & 0x7fff, version)) continue;
        return reinterpret_cast<void*>(bias + symbol.st_value);
    }
    return nullptr;
}

}  // namespace varnhold
