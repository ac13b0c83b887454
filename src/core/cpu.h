// What the running CPU offers to the kernels that dispatch at run time.
#pragma once

namespace qvn {

// True on an x86-64 CPU with AVX2. Function-local so that a caller running
// during static initialisation still gets a probed answer.
inline bool cpu_has_avx2() {
#if defined(__x86_64__)
  static const bool on = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return on;
#else
  return false;
#endif
}

}  // namespace qvn
