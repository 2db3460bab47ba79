// Counts every heap allocation of the process: the benchmark executables
// replace the global operator new/delete (all forms) with counting ones.
//
// Threading: the process counter is a relaxed atomic, readable from any
// thread; the per-thread counter is thread-local.
#pragma once

#include <cstdint>

namespace kivra {
namespace bench {

// Allocations (every operator new form) since the process started.
uint64_t allocationCount();
// Allocations made by the calling thread since it started.
uint64_t threadAllocationCount();

}  // namespace bench
}  // namespace kivra
