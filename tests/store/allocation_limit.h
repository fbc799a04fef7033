// Makes every list allocation above a size fail for the life of the guard.
#pragma once

#include <cstdint>

#include "store/dyn_list.h"

namespace torvane::test {

class AllocationLimit {
 public:
  explicit AllocationLimit(uint64_t bytes) { SetAllocationLimitForTesting(bytes); }
  ~AllocationLimit() { SetAllocationLimitForTesting(kNoAllocationLimit); }
  AllocationLimit(const AllocationLimit&) = delete;
  AllocationLimit& operator=(const AllocationLimit&) = delete;
};

}  // namespace torvane::test
