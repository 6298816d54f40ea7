#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnhold {

// Overwrites `size` bytes with zeros through stores the optimiser may not remove as dead.
// Every buffer that held secret material is wiped through this one helper.
void secure_wipe(void* data, std::size_t size) noexcept;

template <class T>
void secure_wipe_object(T& object) noexcept {
    secure_wipe(&object, sizeof(T));
}

// Wipes a buffer of secret values when the scope ends, however it ends (a scheme error, an
// exception from a random source, a stopped call): for a container (vector, string) the
// elements it holds then, for anything else (a plain array) the object's own bytes. A container
// must not reallocate after its values were written, or the old copy escapes the wipe.
template <class T>
class WipeAtExit {
public:
    explicit WipeAtExit(T& target) noexcept : target_(target) {}
    WipeAtExit(const WipeAtExit&) = delete;
    WipeAtExit& operator=(const WipeAtExit&) = delete;
    ~WipeAtExit() {
        if constexpr (requires {
                          target_.data();
                          target_.size();
                      }) {
            secure_wipe(target_.data(), target_.size() * sizeof(*target_.data()));
        } else {
            secure_wipe_object(target_);
        }
    }

private:
    T& target_;
};

// The 32 bytes of a secret or a key; wiped when it goes out of scope, and the source of a move is
// wiped at once, so that returning one (into a Result, say) leaves no copy behind.
struct SecretBytes {
    static constexpr std::size_t size = 32;
    std::array<std::uint8_t, size> bytes{};

    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = default;
    SecretBytes& operator=(const SecretBytes&) = default;
    SecretBytes(SecretBytes&& other) noexcept : bytes(other.bytes) { other.wipe(); }
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            bytes = other.bytes;
            other.wipe();
        }
        return *this;
    }
    ~SecretBytes() { wipe(); }

private:
    void wipe() noexcept { secure_wipe(bytes.data(), bytes.size()); }
};

// A vector of secret values that is wiped before its memory is released. It never grows after
// construction, so no reallocation leaves an unwiped copy behind.
template <class T>
class WipedVector {
public:
    explicit WipedVector(std::size_t count) : items_(count) {}
    WipedVector(const WipedVector&) = delete;
    WipedVector& operator=(const WipedVector&) = delete;
    ~WipedVector() { secure_wipe(items_.data(), items_.size() * sizeof(T)); }

    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T* data() noexcept { return items_.data(); }
    const T* data() const noexcept { return items_.data(); }
    std::size_t size() const noexcept { return items_.size(); }

private:
    std::vector<T> items_;
};

}  // namespace varnhold
