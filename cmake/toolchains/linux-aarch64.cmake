# Linux on 64-bit ARM (arm64-v8a's instruction set) with Debian's
# g++-aarch64-linux-gnu; tests run under qemu-aarch64. NEON (Advanced SIMD) is
# part of every AArch64 target: no flag is needed for it.
#
#   cmake --preset linux-aarch64 && cmake --build --preset linux-aarch64
#   ctest --preset linux-aarch64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KIVRA_ARM_TRIPLE aarch64-linux-gnu)
set(KIVRA_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm-common.cmake)
