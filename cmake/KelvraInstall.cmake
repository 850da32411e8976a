# Installs every module's library and headers, the CLI, the shipped data, a
# CMake package (find_package(KelvraNlp)) and a pkg-config file.
include(CMakePackageConfigHelpers)

get_property(kelvra_modules GLOBAL PROPERTY KELVRA_MODULES)
foreach(target IN LISTS kelvra_modules)
  get_property(headers TARGET ${target} PROPERTY KELVRA_HEADERS)
  foreach(header IN LISTS headers)
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/src/${header}
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
  endforeach()
endforeach()

# One interface target that links them all.
add_library(kelvra_nlp INTERFACE)
add_library(kelvra::nlp ALIAS kelvra_nlp)
set_target_properties(kelvra_nlp PROPERTIES EXPORT_NAME nlp)
target_link_libraries(kelvra_nlp INTERFACE ${kelvra_modules})

install(TARGETS ${kelvra_modules} kelvra_nlp EXPORT KelvraNlpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kelvra-nlp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KelvraNlp)
install(EXPORT KelvraNlpTargets NAMESPACE kelvra:: DESTINATION ${config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KelvraNlpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KelvraNlpConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KelvraNlpConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KelvraNlpConfig.cmake
  ${PROJECT_BINARY_DIR}/KelvraNlpConfigVersion.cmake DESTINATION ${config_dir})

set(pc_libs "")
foreach(target IN LISTS kelvra_modules)
  string(APPEND pc_libs " -l${target}")
endforeach()
# The .pc file finds the prefix from its own folder (${pcfiledir}), so it
# names the prefix chosen at install time (`--prefix`), and a moved install
# still works. Only a library folder given as an absolute path pins it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(pc_prefix "\${pcfiledir}/${up}")
endif()
foreach(kind IN ITEMS libdir includedir)
  string(TOUPPER ${kind} upper)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${upper}}")
    set(pc_${kind} "${CMAKE_INSTALL_${upper}}")
  else()
    set(pc_${kind} "\${prefix}/${CMAKE_INSTALL_${upper}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kelvra-nlp.pc.in
  ${PROJECT_BINARY_DIR}/kelvra-nlp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvra-nlp.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
