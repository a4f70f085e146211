# Warnings and sanitizers shared by every target of the project.
add_library(orva_options INTERFACE)
target_compile_options(orva_options INTERFACE
  -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
target_compile_definitions(orva_options INTERFACE
  ORVA_VERSION_TEXT="${PROJECT_VERSION}"
  OPENSSL_SUPPRESS_DEPRECATED)

if(ORVA_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(ORVA_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ORVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORVA_SANITIZE must be address, thread or empty")
endif()
if(ORVA_FUZZ)
  # Coverage for libFuzzer in every library; the fuzzers themselves link -fsanitize=fuzzer.
  set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
