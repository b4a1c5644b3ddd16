# Helpers shared by every folder: one warnings list for the libraries and
# programs, a relaxed one for tests, sanitizer switches, the library and
# layer targets, the layering probes and the test target.

set(QV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
set(QV_TEST_WARNINGS -Wall -Wextra)

function(qv_warnings target)
  target_compile_options(${target} PRIVATE ${QV_WARNINGS})
  if(QV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

macro(qv_apply_sanitizers)
  if(QV_SANITIZE)
    string(REPLACE ";" "," _qv_san "${QV_SANITIZE}")
    add_compile_options(-fsanitize=${_qv_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_qv_san})
  endif()
endmacro()

# Layering. Every folder is a target that compiles with its own headers and
# those of the targets it links, and nothing else: a header of a layer above
# (or beside) it is not found, so an upward include fails to compile. The
# headers sit beside their sources; installed, they lie flat in
# <prefix>/include/QVT and users include them as <QVT/...> with only
# <prefix>/include on their path (one installed header includes another by
# its plain name, which the compiler finds beside it).

# qv_add_library(NAME SOVERSION ver [DEPS ...]): a shared library, made of
# one folder (qv_library_sources) or of several layers (qv_add_layer).
function(qv_add_library name)
  cmake_parse_arguments(ARG "" "SOVERSION" "DEPS" ${ARGN})
  add_library(${name} SHARED)
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${ARG_SOVERSION} LINKER_LANGUAGE CXX)
  target_include_directories(${name} PUBLIC "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  # The headers need C++20: users get at least that, or the newer standard
  # they chose.
  target_compile_features(${name} PUBLIC cxx_std_20)
  qv_warnings(${name})
  add_library(QVSubAg::${name} ALIAS ${name})
endfunction()

# qv_library_sources(TARGET SOURCES ... HEADERS ...): adds the files of the
# current folder to a library that is this folder; the HEADERS are
# installed.
function(qv_library_sources target)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS" ${ARGN})
  list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(TRANSFORM ARG_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  target_sources(${target} PRIVATE ${ARG_SOURCES} ${ARG_HEADERS})
  target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>")
  set_property(TARGET ${target} APPEND PROPERTY PUBLIC_HEADER ${ARG_HEADERS})
endfunction()

# qv_add_layer(NAME INTO library [DEPS ...] SOURCES ... [HEADERS ...]
# [PRIVATE_HEADERS ...]): the current folder as one layer of a library made
# of several: an object library of its own, linking only DEPS (the layers
# below it), whose objects and installed HEADERS go into INTO.
function(qv_add_layer name)
  cmake_parse_arguments(ARG "" "INTO" "DEPS;SOURCES;HEADERS;PRIVATE_HEADERS" ${ARGN})
  list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(TRANSFORM ARG_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(TRANSFORM ARG_PRIVATE_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  add_library(${name} OBJECT ${ARG_SOURCES} ${ARG_HEADERS} ${ARG_PRIVATE_HEADERS})
  target_include_directories(${name} PUBLIC "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  qv_warnings(${name})
  # Code built on the library (programs, tests) sees every layer of it.
  target_link_libraries(${ARG_INTO} PRIVATE ${name})
  target_include_directories(${ARG_INTO} PUBLIC "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>")
  set_property(TARGET ${ARG_INTO} APPEND PROPERTY PUBLIC_HEADER ${ARG_HEADERS})
endfunction()

# qv_refuse_include(NAME LINKS target INCLUDE header OWN own-header): a test that compiling
# `#include "header"` in a file of `target`'s layer fails, next to a control
# that compiles one of the layer's own headers the same way (so that the
# failure is the include's, not the probe's).
function(qv_refuse_include name)
  cmake_parse_arguments(ARG "" "LINKS;INCLUDE;OWN" "" ${ARGN})
  foreach(kind refused allowed)
    set(header ${ARG_INCLUDE})
    if(kind STREQUAL "allowed")
      set(header ${ARG_OWN})
    endif()
    add_library(qv_layer_probe_${name}_${kind} OBJECT EXCLUDE_FROM_ALL
      ${PROJECT_SOURCE_DIR}/tests/layering/IncludeProbe.cpp)
    target_link_libraries(qv_layer_probe_${name}_${kind} PRIVATE ${ARG_LINKS})
    target_compile_definitions(qv_layer_probe_${name}_${kind} PRIVATE QV_PROBE_HEADER="${header}")
    add_test(NAME layering.${name}.${kind}
      COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target qv_layer_probe_${name}_${kind})
    set_tests_properties(layering.${name}.${kind} PROPERTIES LABELS layering RUN_SERIAL TRUE)
  endforeach()
  set_tests_properties(layering.${name}.refused PROPERTIES WILL_FAIL TRUE)
endfunction()

# qv_add_test(NAME SOURCES ... DEPS ... [LABELS ...] [TIMEOUT s])
function(qv_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} qv_test_support GTest::gtest GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${QV_TEST_WARNINGS})
  if(QV_WERROR)
    target_compile_options(${name} PRIVATE -Werror)
  endif()
  include(GoogleTest)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  # Labels are set by a script that ctest reads after the discovered tests:
  # a list of labels passed through PROPERTIES above would be split into
  # separate property arguments, so that "LABELS host threads" labelled
  # the tests "host" only and "ctest -L threads" found nothing.
  if(ARG_LABELS)
    set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_file}"
      "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
  endif()
endfunction()

# qv_install_man(COMPONENT page...): installs each man page in the section
# its name ends with. For a system package (QV_SYSTEM_PACKAGE) the pages are
# compressed as Debian wants them (gzip -9n: no name or time stamp, so the
# same source gives the same package).
function(qv_install_man component)
  foreach(page ${ARGN})
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
    set(installed ${page})
    if(QV_SYSTEM_PACKAGE)
      set(installed ${PROJECT_BINARY_DIR}/man/${name}.gz)
      add_custom_command(OUTPUT ${installed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND gzip -9n -c ${page} > ${installed}
        DEPENDS ${page} VERBATIM)
      add_custom_target(qv_man_${name} ALL DEPENDS ${installed})
    endif()
    install(FILES ${installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endforeach()
endfunction()
