# Installs the build into a folder of its own, moves that folder elsewhere
# (an install must not depend on where it was first put), then builds and
# runs the consumer of tests/install against the moved copy twice: once as
# a CMake project (find_package) and once as a plain compile whose flags
# come from pkg-config alone. The consumer also checks that the shipped
# data is found under the (moved) prefix.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DCXX=<c++ compiler> -P CheckInstall.cmake
set(work ${BUILD_DIR}/install-check)
set(installed ${work}/installed-prefix)
set(prefix ${work}/moved-prefix)
set(consumer ${work}/consumer)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${installed})
file(RENAME ${installed} ${prefix})

# Internal headers stay in the source tree, and every installed header finds
# the headers it includes among the installed ones.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
foreach(header IN LISTS headers)
  if(header MATCHES "(^|/)internal/")
    message(FATAL_ERROR "internal header installed: include/${header}")
  endif()
  file(STRINGS ${prefix}/include/${header} includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    if(NOT EXISTS ${prefix}/include/${included})
      message(FATAL_ERROR "include/${header} includes ${included}, which is not installed")
    endif()
  endforeach()
endforeach()

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install -B ${consumer} -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${consumer})
run(${consumer}/consumer ${prefix})
if(EXISTS ${prefix}/lib/data)
  message(FATAL_ERROR "data installed into the library folder: ${prefix}/lib/data")
endif()

# pkg-config: nothing but the .pc file says where headers and libraries are.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
foreach(what cflags libs)
  execute_process(COMMAND ${PKG_CONFIG} --${what} --print-errors kelvra-nlp
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config --${what} kelvra-nlp failed (${status})")
  endif()
  separate_arguments(${what} UNIX_COMMAND "${flags}")
endforeach()
string(FIND "${cflags}" "${prefix}/lib/pkgconfig/../../include" at)
if(at EQUAL -1)
  message(FATAL_ERROR "pkg-config --cflags kelvra-nlp does not name the moved prefix: ${cflags}")
endif()
run(${CXX} ${cflags} ${SOURCE_DIR}/tests/install/main.cc ${libs} -o ${work}/pc-consumer)
# A prefix outside the loader's search path is named at run time.
set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
run(${work}/pc-consumer ${prefix})
