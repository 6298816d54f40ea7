#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace varnhold {

// A growing sequence whose first N elements live inside the object itself, so that the usual
// handful (the k shares of a small call) costs no allocation. Past N the elements move to the
// heap once, in order, and stay there. Elements are only appended.
template <class T, std::size_t N>
class SmallVector {
public:
    SmallVector() = default;
    SmallVector(SmallVector&&) noexcept = default;
    SmallVector& operator=(SmallVector&&) noexcept = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;

    void reserve(std::size_t count) {
        if (count > N) spill(count);
    }
    void push_back(T value) {
        if (!spilled_ && size_ < N) {
            inline_[size_++] = std::move(value);
            return;
        }
        if (!spilled_) spill(2 * N);
        heap_.push_back(std::move(value));
        ++size_;
    }

    T* data() noexcept { return spilled_ ? heap_.data() : inline_.data(); }
    const T* data() const noexcept { return spilled_ ? heap_.data() : inline_.data(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& back() noexcept { return data()[size_ - 1]; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

private:
    // Moves the inline elements to the heap, with room for `capacity`; from then on the heap
    // holds every element.
    void spill(std::size_t capacity) {
        heap_.reserve(capacity > size_ + 1 ? capacity : size_ + 1);
        if (spilled_) return;
        for (std::size_t i = 0; i < size_; ++i) heap_.push_back(std::move(inline_[i]));
        spilled_ = true;
    }

    std::array<T, N> inline_{};
    std::size_t size_ = 0;
    std::vector<T> heap_;
    bool spilled_ = false;
};

// Room for N objects of a type that needs no construction (a plain aggregate of numbers) on the
// stack, left unset: the caller writes an element before it reads it. Not zeroing what a small
// call never touches is the point.
template <class T, std::size_t N>
class StackStorage {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    // The bytes' array provides the storage in which the elements begin to live when written.
    T* data() noexcept { return std::launder(reinterpret_cast<T*>(bytes_)); }

private:
    alignas(T) unsigned char bytes_[N * sizeof(T)];
};

// Scratch room for `count` objects of a type that needs no construction: inside the object (left
// unset, as StackStorage) when count <= N, the usual small call, else on the heap (zeroed). The
// caller writes an element before it reads it, and wipes what must be wiped.
template <class T, std::size_t N>
class ScratchBuffer {
public:
    explicit ScratchBuffer(std::size_t count)
        : heap_(count > N ? std::make_unique<T[]>(count) : nullptr),
          data_(count > N ? heap_.get() : stack_.data()),
          size_(count) {}
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    T* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    StackStorage<T, N> stack_;
    std::unique_ptr<T[]> heap_;
    T* data_;
    std::size_t size_;
};

}  // namespace varnhold
