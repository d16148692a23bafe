// Counts every heap allocation made through operator new in this program, on
// every thread and in every library it loads (the program's replacement of the
// global operator new takes precedence over the standard library's).
#pragma once

namespace bench {

// Allocations made so far; read it before and after the work to be counted.
long long allocationCount();

}  // namespace bench
