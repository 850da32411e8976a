# Installs the build into a folder of its own, then configures, builds and
# runs the consumer project of tests/install against it (which checks that
# the shipped data is found under the prefix), and asks pkg-config for the
# installed package.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -P CheckInstall.cmake
set(prefix ${BUILD_DIR}/install-check/prefix)
set(consumer ${BUILD_DIR}/install-check/consumer)
file(REMOVE_RECURSE ${BUILD_DIR}/install-check)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install -B ${consumer} -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${consumer})
run(${consumer}/consumer ${prefix})
if(EXISTS ${prefix}/lib/data)
  message(FATAL_ERROR "data installed into the library folder: ${prefix}/lib/data")
endif()
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${PKG_CONFIG} --exists --print-errors kelvra-nlp)
