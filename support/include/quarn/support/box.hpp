// `Box<T>`: a value held in its own heap allocation, copied deeply.
//
// Used where a record holds a large alternative through an owning pointer so that the variant
// stays small, while the record as a whole stays an ordinary copyable value.
#pragma once

#include <memory>
#include <utility>

namespace quarn::support {

template <typename T>
class Box {
 public:
  Box(T value) : value_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : value_(std::make_unique<T>(*other.value_)) {}
  Box(Box&& other) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) value_ = std::make_unique<T>(*other.value_);
    return *this;
  }
  Box& operator=(Box&& other) noexcept = default;
  ~Box() = default;

  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return value_.get(); }
  const T* operator->() const { return value_.get(); }
  T& get() { return *value_; }
  const T& get() const { return *value_; }

  friend bool operator==(const Box& a, const Box& b) { return *a.value_ == *b.value_; }

 private:
  // Never null: a moved-from Box may only be assigned to or destroyed.
  std::unique_ptr<T> value_;
};

}  // namespace quarn::support
