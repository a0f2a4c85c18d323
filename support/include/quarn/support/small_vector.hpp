// `SmallVector<T, N>`: a vector that keeps up to N elements inline and only allocates beyond.
//
// The planners examine short per-request lists (a template table's column of values, a kernel
// call's operand words) on hot paths; holding them here means the common sizes never touch the
// heap. It offers the part of the `std::vector` interface those callers need, and converts to a
// `std::span`.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace quarn::support {

template <typename T, std::size_t N>
class SmallVector {
  static_assert(N > 0, "SmallVector needs inline room for at least one element");

 public:
  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() = default;
  SmallVector(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
  template <typename Iterator>
  SmallVector(Iterator first, Iterator last) {
    assign(first, last);
  }
  SmallVector(const SmallVector& other) { assign(other.begin(), other.end()); }
  SmallVector(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    take(std::move(other));
  }
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      assign(other.begin(), other.end());
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      release();
      take(std::move(other));
    }
    return *this;
  }
  ~SmallVector() { release(); }

  // True while the elements live in the inline buffer (nothing has been allocated).
  bool is_inline() const { return data_ == inline_data(); }

  size_type size() const { return size_; }
  size_type capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  static constexpr size_type inline_capacity() { return N; }

  T* data() { return data_; }
  const T* data() const { return data_; }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }

  T& operator[](size_type index) { return data_[index]; }
  const T& operator[](size_type index) const { return data_[index]; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  operator std::span<T>() { return {data_, size_}; }
  operator std::span<const T>() const { return {data_, size_}; }
  std::span<const T> span() const { return {data_, size_}; }

  void reserve(size_type wanted) {
    if (wanted > capacity_) grow(wanted);
  }

  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }

  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Construct first: `args` may refer to an element that growing would move.
      T value(std::forward<Args>(args)...);
      grow(capacity_ * 2);
      T* slot = ::new (static_cast<void*>(data_ + size_)) T(std::move(value));
      ++size_;
      return *slot;
    }
    T* slot = ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  void pop_back() {
    --size_;
    std::destroy_at(data_ + size_);
  }

  void clear() {
    std::destroy(data_, data_ + size_);
    size_ = 0;
  }

  void resize(size_type count, const T& value = T()) {
    if (count < size_) {
      std::destroy(data_ + count, data_ + size_);
      size_ = count;
      return;
    }
    reserve(count);
    while (size_ < count) {
      ::new (static_cast<void*>(data_ + size_)) T(value);
      ++size_;
    }
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  T* inline_data() { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

  template <typename Iterator>
  void assign(Iterator first, Iterator last) {
    for (; first != last; ++first) emplace_back(*first);
  }

  void grow(size_type wanted) {
    const size_type new_capacity = std::max(wanted, capacity_ * 2);
    T* fresh = std::allocator<T>{}.allocate(new_capacity);
    std::uninitialized_move(data_, data_ + size_, fresh);
    std::destroy(data_, data_ + size_);
    if (!is_inline()) std::allocator<T>{}.deallocate(data_, capacity_);
    data_ = fresh;
    capacity_ = new_capacity;
  }

  void release() {
    clear();
    if (!is_inline()) std::allocator<T>{}.deallocate(data_, capacity_);
    data_ = inline_data();
    capacity_ = N;
  }

  // Leaves `other` empty and inline.
  void take(SmallVector&& other) {
    if (other.is_inline()) {
      std::uninitialized_move(other.data_, other.data_ + other.size_, data_);
      size_ = other.size_;
      other.clear();
      return;
    }
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.data_ = other.inline_data();
    other.size_ = 0;
    other.capacity_ = N;
  }

  alignas(T) unsigned char inline_[sizeof(T) * N];
  T* data_ = inline_data();
  size_type size_ = 0;
  size_type capacity_ = N;
};

}  // namespace quarn::support
