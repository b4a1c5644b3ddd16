# Small helpers shared by every folder: one warnings list for the libraries and
# programs, a relaxed one for tests, and sanitizer switches.

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

# qv_add_library(NAME SOVERSION ver DEPS ... INCLUDE_DIRS ...): a shared library
# whose folders add their files with qv_library_sources.
function(qv_add_library name)
  cmake_parse_arguments(ARG "" "SOVERSION" "DEPS;INCLUDE_DIRS" ${ARGN})
  add_library(${name} SHARED)
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${ARG_SOVERSION} LINKER_LANGUAGE CXX)
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${ARG_INCLUDE_DIRS}>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/QVT>")
  target_compile_definitions(${name} PRIVATE QV_BUILDING_LIBRARY)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  qv_warnings(${name})
  add_library(QVSubAg::${name} ALIAS ${name})
endfunction()

# qv_library_sources(TARGET SOURCES ... HEADERS ...): adds one folder's files;
# the headers are installed flat under include/QVT.
function(qv_library_sources target)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS" ${ARGN})
  list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(TRANSFORM ARG_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  target_sources(${target} PRIVATE ${ARG_SOURCES} ${ARG_HEADERS})
  set_property(TARGET ${target} APPEND PROPERTY PUBLIC_HEADER ${ARG_HEADERS})
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
