# kelvra_module(NAME <name> SOURCES <.cc...> HEADERS <.h...> [TESTS <_test.cc...>]
#               [DEPS <targets...>] [PRIVATE_DEPS <targets...>] [TEST_DEPS <targets...>])
#
# Declares one module: a shared library kelvra_<name> with the alias
# kelvra::<name>, its public headers (installed under include/ with their
# path kept), and one GoogleTest executable per test file, registered with
# CTest. Paths are relative to src/.
set_property(GLOBAL PROPERTY KELVRA_MODULES "")

function(kelvra_module)
  cmake_parse_arguments(M "" "NAME" "SOURCES;HEADERS;TESTS;DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  set(target kelvra_${M_NAME})
  add_library(${target} SHARED ${M_SOURCES} ${M_HEADERS})
  add_library(kelvra::${M_NAME} ALIAS ${target})
  target_compile_features(${target} PUBLIC cxx_std_20)
  kelvra_warnings(${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${M_NAME})
  set_property(TARGET ${target} PROPERTY KELVRA_HEADERS ${M_HEADERS})
  set_property(GLOBAL APPEND PROPERTY KELVRA_MODULES ${target})

  if(KELVRA_BUILD_TESTS)
    foreach(test_source IN LISTS M_TESTS)
      get_filename_component(test_name ${test_source} NAME_WE)
      # Two modules may share a file name in different folders (feature.h
      # and lang/en/feature.h); the later test takes its module's name.
      if(TARGET ${test_name})
        set(test_name ${M_NAME}_${test_name})
      endif()
      add_executable(${test_name} ${test_source})
      kelvra_warnings(${test_name})
      target_link_libraries(${test_name} PRIVATE ${target} ${M_TEST_DEPS}
        GTest::gmock GTest::gtest_main)
      gtest_discover_tests(${test_name}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        PROPERTIES ENVIRONMENT "KELVRA_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        DISCOVERY_TIMEOUT 60)
    endforeach()
  endif()
endfunction()
