# The vectorised conversion loops: every lane, every tail length, every
# alignment, and the inputs where a shortcut through float rounding fails.
kivra_add_test(test_conversion_vectors ${CMAKE_CURRENT_LIST_DIR}/test_conversion_vectors.cpp)
# The loops each CPU must convert with, so a build that silently falls back
# to the portable loops (a missing -mfpu=neon, say) fails.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(kivra_convert_kernel sse2)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(kivra_convert_kernel neon)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND KIVRA_ARM_FPU MATCHES "neon")
  set(kivra_convert_kernel neon)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(kivra_convert_kernel portable)
else()
  set(kivra_convert_kernel "")
endif()
target_compile_definitions(test_conversion_vectors PRIVATE
  KIVRA_EXPECTED_CONVERT_KERNEL="${kivra_convert_kernel}")
