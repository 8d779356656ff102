if(QUENLARK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QUENLARK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QUENLARK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUENLARK_SANITIZE must be empty, address or thread")
endif()
if(NOT QUENLARK_SANITIZE STREQUAL "")
  # Line tables are all a sanitizer report needs, and the optimised code compiles a fifth faster
  # without full debug information.
  add_compile_options(-g1)
endif()

if(QUENLARK_BUILD_FUZZ)
  # Coverage instrumentation for everything the fuzz targets link.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Tests and tools are compiled without optimisation in the sanitizer builds: the code under test
# (quenlark_core and the module) keeps its optimisation and its flow warnings, and the test code,
# most of it GoogleTest macros, compiles several times faster.
function(quenlark_unoptimised_under_sanitizers target)
  if(NOT QUENLARK_SANITIZE STREQUAL "")
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()
