# KIVRA_SANITIZER=address: AddressSanitizer with UndefinedBehaviorSanitizer.
# KIVRA_SANITIZER=thread: ThreadSanitizer. Applied to every target.
if(KIVRA_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KIVRA_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KIVRA_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown KIVRA_SANITIZER '${KIVRA_SANITIZER}'")
endif()
