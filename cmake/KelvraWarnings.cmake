# kelvra_warnings(<target>...)
#
# The one warning set of the project, for every target it builds: libraries,
# the CLI, tests, benchmarks, fuzz targets and the Python extension. With
# KELVRA_WERROR on (as CI builds), any warning fails the build.
option(KELVRA_WERROR "Treat compiler warnings as errors" OFF)

set(KELVRA_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow)
if(KELVRA_WERROR)
  list(APPEND KELVRA_WARNING_FLAGS -Werror)
endif()

function(kelvra_warnings)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE ${KELVRA_WARNING_FLAGS})
  endforeach()
endfunction()
