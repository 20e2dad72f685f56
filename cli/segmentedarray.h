#ifndef VARNOLIX_SEGMENTEDARRAY_H_
#define VARNOLIX_SEGMENTEDARRAY_H_

#include <cassert>
#include <cstddef>
#include <memory>
#include <vector>

/// Elements in fixed-size segments: addresses stay put as it grows, and growing never
/// copies. reserveOneMore() may throw; everything else never fails.
template <class T, std::size_t kPerSegment = 4096>
class SegmentedArray {
 public:
  SegmentedArray() = default;
  SegmentedArray(const SegmentedArray&) = delete;
  SegmentedArray& operator=(const SegmentedArray&) = delete;

  /// Makes sure that the next push() needs no memory. Throws std::bad_alloc.
  void reserveOneMore() {
    if (count < segments.size() * kPerSegment) return;
    segments.reserve(segments.size() + 1);
    segments.emplace_back(new T[kPerSegment]);
  }

  /// Stores `value` at the end; reserveOneMore() must have been called.
  T& push(const T& value) noexcept {
    assert(count < segments.size() * kPerSegment && "reserveOneMore() first");
    T& slot = segments[count / kPerSegment][count % kPerSegment];
    slot = value;
    ++count;
    return slot;
  }

  T& operator[](std::size_t at) noexcept {
    assert(at < count);
    return segments[at / kPerSegment][at % kPerSegment];
  }
  const T& operator[](std::size_t at) const noexcept {
    assert(at < count);
    return segments[at / kPerSegment][at % kPerSegment];
  }
  std::size_t size() const noexcept { return count; }

 private:
  std::vector<std::unique_ptr<T[]>> segments;
  std::size_t count = 0;
};

#endif  // VARNOLIX_SEGMENTEDARRAY_H_
