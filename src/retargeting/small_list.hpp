// A list that keeps its first N elements in place and moves to the heap only beyond them: scratch for a
// computation over a hand's few fingers that must not allocate.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace kelto::hand::detail {

template <typename T, std::size_t N>
class SmallList {
 public:
  // Grows or shrinks to n elements; new ones are value-initialized. Past N the elements move to the heap
  // and stay there.
  void resize(std::size_t n) {
    if (!on_heap_ && n > N) {
      heap_.assign(local_.begin(), local_.begin() + static_cast<std::ptrdiff_t>(size_));
      on_heap_ = true;
    }
    if (on_heap_) {
      heap_.resize(n);
    } else {
      for (std::size_t i = size_; i < n; ++i) local_[i] = T{};
    }
    size_ = n;
  }
  void push_back(const T& value) {
    resize(size_ + 1);
    data()[size_ - 1] = value;
  }

  T* data() { return on_heap_ ? heap_.data() : local_.data(); }
  const T* data() const { return on_heap_ ? heap_.data() : local_.data(); }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  std::array<T, N> local_{};
  std::vector<T> heap_;
  std::size_t size_ = 0;
  bool on_heap_ = false;
};

}  // namespace kelto::hand::detail
