// object_array - CArray<T, ARG>, the growable array of objects (String lists, INI
// items, XML children, statistics rows). Elements are constructed and
// destroyed in place; the array grows by a configurable step so that lists
// built one Add at a time reallocate rarely. Unsynchronised: callers that
// share one lock around it.
#ifndef TORVANE_BASE_OBJECT_ARRAY_H_
#define TORVANE_BASE_OBJECT_ARRAY_H_

#include <algorithm>
#include <utility>
#include <vector>

// `ARG` is the type elements are passed in as (usually const T&).
template <typename T, typename ARG = const T&>
class CArray {
 public:
  CArray() = default;
  CArray(const CArray&) = default;
  CArray(CArray&&) noexcept = default;
  CArray& operator=(const CArray&) = default;
  CArray& operator=(CArray&&) noexcept = default;
  ~CArray() = default;

  // Sets the count to n (negative n counts as 0). A `growBy` of 0 or more is
  // stored first (0 = automatic step). Past the capacity the new capacity is
  // the larger of n and capacity + step. New elements are T(); shrinking
  // destroys the dropped ones.
  void SetSize(int n, int growBy = -1) {
    if (growBy >= 0) grow_by_ = growBy;
    const size_t wanted = static_cast<size_t>(std::max(n, 0));
    ReserveFor(wanted);
    items_.resize(wanted);
  }

  // Appends a copy of `x`; returns its index.
  int Add(ARG x) {
    T copy(x);  // `x` may be an element of this array, moved by the growth
    ReserveFor(items_.size() + 1);
    items_.push_back(std::move(copy));
    return GetUpperBound();
  }

  // Inserts a copy of `x` before index i (i clamped to 0..count).
  void InsertAt(int i, ARG x) {
    T copy(x);
    const int at = std::clamp(i, 0, GetSize());
    ReserveFor(items_.size() + 1);
    items_.insert(items_.begin() + at, std::move(copy));
  }

  // Element access. REQUIRES: 0 <= i < GetSize().
  T& GetAt(int i) { return items_[i]; }
  const T& GetAt(int i) const { return items_[i]; }
  T& ElementAt(int i) { return items_[i]; }
  T& operator[](int i) { return items_[i]; }
  const T& operator[](int i) const { return items_[i]; }
  // Pointer to element i, or null when i is out of range.
  T* GetAtP(int i) { return InRange(i) ? &items_[i] : nullptr; }
  const T* GetAtP(int i) const { return InRange(i) ? &items_[i] : nullptr; }

  // Removes `count` elements from i on; the range is clipped to the array.
  void RemoveAt(int i, int count = 1) {
    if (i < 0 || i >= GetSize() || count < 1) return;
    const int end = std::min(GetSize(), i + std::min(count, GetSize()));
    items_.erase(items_.begin() + i, items_.begin() + end);
  }
  // Destroys every element and releases the memory.
  void RemoveAll() { std::vector<T>().swap(items_); }

  int GetCount() const { return static_cast<int>(items_.size()); }
  int GetSize() const { return GetCount(); }
  int GetUpperBound() const { return GetCount() - 1; }
  int GetCapacity() const { return static_cast<int>(items_.capacity()); }
  // Shrinks the capacity to the count.
  void FreeExtra() { std::vector<T>(items_.begin(), items_.end()).swap(items_); }

  T* begin() { return items_.data(); }
  T* end() { return items_.data() + items_.size(); }
  const T* begin() const { return items_.data(); }
  const T* end() const { return items_.data() + items_.size(); }

 private:
  // Bounds of the automatic grow step (growBy 0): an eighth of the count,
  // at least a few slots, never more than this many at once.
  static constexpr int kMinAutoStep = 4;
  static constexpr int kMaxAutoStep = 64;

  bool InRange(int i) const { return i >= 0 && i < GetSize(); }

  void ReserveFor(size_t wanted) {
    if (wanted <= items_.capacity()) return;
    const size_t step = grow_by_ > 0 ? static_cast<size_t>(grow_by_)
                                     : static_cast<size_t>(std::clamp(GetSize() / 8, kMinAutoStep, kMaxAutoStep));
    items_.reserve(std::max(wanted, items_.capacity() + step));
  }

  std::vector<T> items_;
  int grow_by_ = 0;  // 0 = automatic step
};

#endif  // TORVANE_BASE_OBJECT_ARRAY_H_
