# Linux on 32-bit ARMv7-A, hard-float ABI, with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-arm.
#
# Debian's armhf default FPU is vfpv3-d16, without NEON. This build targets
# ARMv7-A with NEON, as Android's armeabi-v7a does, so the conversions take
# their NEON loops: the binaries need a CPU with NEON. A build for ARMv7 CPUs
# without NEON sets KIVRA_ARM_FPU=vfpv3-d16 (preset linux-armhf-noneon) and
# gets the portable loops.
#
#   cmake --preset linux-armhf && cmake --build --preset linux-armhf
#   ctest --preset linux-armhf
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KIVRA_ARM_TRIPLE arm-linux-gnueabihf)
set(KIVRA_QEMU_NAME qemu-arm)
set(KIVRA_ARM_FPU "neon" CACHE STRING "FPU for the armhf build: neon or vfpv3-d16")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIVRA_ARM_FPU)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=${KIVRA_ARM_FPU} -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=${KIVRA_ARM_FPU} -mfloat-abi=hard")
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm-common.cmake)
