# Shared part of the ARM Linux toolchain files: Debian's cross compiler for
# KIVRA_ARM_TRIPLE, its target root /usr/<triple>, and qemu-user as CTest's
# emulator (-L points qemu's dynamic loader and libraries at that root, so no
# binfmt or chroot set-up is needed).
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${KIVRA_ARM_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KIVRA_ARM_TRIPLE}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KIVRA_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KIVRA_QEMU NAMES ${KIVRA_QEMU_NAME} NO_CMAKE_FIND_ROOT_PATH)
if(KIVRA_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KIVRA_QEMU};-L;/usr/${KIVRA_ARM_TRIPLE}")
endif()
