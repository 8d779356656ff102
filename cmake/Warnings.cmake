# Warnings fail the build of our own targets only (COMPILE_WARNING_AS_ERROR), never of code we do
# not own. -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF or `cmake --compile-no-warning-as-error` turns it
# off, for example to try a newer compiler.
if(NOT DEFINED CMAKE_COMPILE_WARNING_AS_ERROR)
  set(QUENLARK_WARNING_AS_ERROR ON)
else()
  set(QUENLARK_WARNING_AS_ERROR ${CMAKE_COMPILE_WARNING_AS_ERROR})
endif()

function(quenlark_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR ${QUENLARK_WARNING_AS_ERROR})
endfunction()
