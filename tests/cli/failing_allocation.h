#ifndef VARNOLIX_TESTS_FAILING_ALLOCATION_H_
#define VARNOLIX_TESTS_FAILING_ALLOCATION_H_

/// Makes memory run out on demand in the unit tests: failing_allocation.cpp replaces the
/// global operator new, which throws std::bad_alloc (or returns null, for the nothrow forms)
/// while a NoMemory lives.
namespace failing_allocation {

/// While it lives, every operator new fails.
class NoMemory {
 public:
  NoMemory() noexcept;
  ~NoMemory();
  NoMemory(const NoMemory&) = delete;
  NoMemory& operator=(const NoMemory&) = delete;
};

}  // namespace failing_allocation

#endif  // VARNOLIX_TESTS_FAILING_ALLOCATION_H_
