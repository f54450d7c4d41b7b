// A working copy of n values on the stack when short, else on the heap: for
// conversions that a statement runs at each execution, where a heap block
// per call costs more than the conversion.
#pragma once

#include <cstddef>
#include <vector>

template <class T, size_t kStack = 256>
class Scratch {
 public:
  explicit Scratch(size_t n) : p_(n <= kStack ? small_ : (big_.resize(n), big_.data())) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  T* data() { return p_; }
  T& operator[](size_t i) { return p_[i]; }

 private:
  T small_[kStack];
  std::vector<T> big_;
  T* p_;
};
