// vector - Vector<T>, the growable array of small values (pointers, ints,
// small records, script values) that the script engine and the engines keep
// their lists in. It grows by a step tied to its size so that long lists do
// not reallocate on every append, and never owns what pointer elements
// point to. Unsynchronised: callers that share one lock around it.
#ifndef TORVANE_BASE_VECTOR_H_
#define TORVANE_BASE_VECTOR_H_

#include <algorithm>
#include <utility>
#include <vector>

template <typename T>
class Vector {
 public:
  using iterator = T*;
  using const_iterator = const T*;

  Vector() = default;
  Vector(const Vector&) = default;
  Vector(Vector&&) noexcept = default;
  // Element-wise copy; the capacity becomes the other's count.
  Vector& operator=(const Vector&) = default;
  Vector& operator=(Vector&&) noexcept = default;
  ~Vector() = default;

  int size() const { return static_cast<int>(items_.size()); }
  // REQUIRES: 0 <= i < size().
  T& operator[](int i) { return items_[i]; }
  const T& operator[](int i) const { return items_[i]; }

  // Adds `value` at the end, growing by the step rule when full.
  void append(const T& value) {
    if (items_.size() < items_.capacity()) {
      items_.push_back(value);
      return;
    }
    T copy(value);  // `value` may live in the storage about to move
    Grow();
    items_.push_back(std::move(copy));
  }

  // Removes element i, shifting the tail down. Out-of-range i is ignored.
  void remove(int i) {
    if (i >= 0 && i < size()) items_.erase(items_.begin() + i);
  }
  // Drops the last element; nothing when empty.
  void remove() {
    if (!items_.empty()) items_.pop_back();
  }
  // Removes the element `it` points at. REQUIRES: begin() <= it <= end().
  void remove(iterator it) { remove(static_cast<int>(it - begin())); }

  // Count 0; the memory is kept for reuse.
  void clear() { items_.clear(); }

  // Sets the count to n (negative n counts as 0). Past the capacity the array
  // grows to exactly n; slots that become visible hold T().
  void resize(int n) {
    const size_t wanted = static_cast<size_t>(std::max(n, 0));
    if (wanted > items_.capacity()) items_.reserve(wanted);
    items_.resize(wanted);
  }

  // First element equal to `value`, or end().
  iterator find(const T& value) { return std::find(begin(), end(), value); }
  const_iterator find(const T& value) const { return std::find(begin(), end(), value); }

  iterator begin() { return items_.data(); }
  iterator end() { return items_.data() + items_.size(); }
  const_iterator begin() const { return items_.data(); }
  const_iterator end() const { return items_.data() + items_.size(); }

  int GetCapacity() const { return static_cast<int>(items_.capacity()); }
  // Shrinks the capacity to the count.
  void FreeExtra() { std::vector<T>(items_.begin(), items_.end()).swap(items_); }
  // Releases everything: count and capacity 0.
  void FreeMemory() { std::vector<T>().swap(items_); }

 private:
  // Bounds of the grow step: small lists grow by a few slots, big ones by an
  // eighth of their size but never more than this many at once.
  static constexpr int kMinStep = 4;
  static constexpr int kMaxStep = 64;

  void Grow() {
    const int count = size();
    if (count > 0) step_ = std::clamp(count / 8, kMinStep, kMaxStep);
    items_.reserve(static_cast<size_t>(count + step_ + 1));
  }

  std::vector<T> items_;
  int step_ = kMinStep;  // last grow step used
};

#endif  // TORVANE_BASE_VECTOR_H_
