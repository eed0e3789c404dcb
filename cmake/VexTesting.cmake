# Test helpers shared by every folder under tests/.
#
# vex_add_test(NAME SOURCES src... [LIBS lib...] [LABELS l...] [TIMEOUT s]
#              [ENVIRONMENT k=v...] [RESOURCE_LOCK r...] [NO_WINE])
# Builds one GoogleTest program. Natively every test case becomes a CTest test
# of its own; label a program "tsan" to run it under ThreadSanitizer too. For Windows the whole program is one CTest test run under Wine
# (a Wine process start costs far more than a native one).
include(GoogleTest)

set(VEX_DEFAULT_TEST_TIMEOUT 120)

macro(vex_setup_gtest)
  if(WIN32)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${t})
        add_library(GTest::${t} ALIAS ${t})
      endif()
      # googletest's own sources are not ours to warn about.
      target_compile_options(${t} PRIVATE -w)
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()

function(vex_add_test name)
  cmake_parse_arguments(T "NO_WINE" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT;RESOURCE_LOCK" ${ARGN})
  if(WIN32 AND T_NO_WINE)
    return()
  endif()
  # The ThreadSanitizer build runs only the concurrency cases.
  if(VEX_SANITIZE STREQUAL "thread" AND NOT "tsan" IN_LIST T_LABELS)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${VEX_DEFAULT_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  set(props TIMEOUT ${T_TIMEOUT})
  set(labels ${T_LABELS})
  if(WIN32)
    list(APPEND labels wine)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} FIXTURES_REQUIRED wine)
    if(labels)
      set_tests_properties(${name} PROPERTIES LABELS "${labels}")
    endif()
    if(T_ENVIRONMENT)
      set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    if(T_RESOURCE_LOCK)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
  else()
    if(labels)
      list(APPEND props LABELS "${labels}")
    endif()
    if(T_ENVIRONMENT)
      list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    if(T_RESOURCE_LOCK)
      list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    # Parameterised cases are named by their own name generators, not by the
    # printed bytes of their parameters.
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         PROPERTIES ${props})
  endif()
endfunction()

# The Wine prefix is made once per build tree and its wineserver kept alive for
# the whole run: a Wine process then starts in a tenth of a second instead of one.
function(vex_add_wine_fixture)
  if(NOT WIN32)
    return()
  endif()
  add_test(NAME wine_prefix_up COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix up ${VEX_WINEPREFIX})
  add_test(NAME wine_prefix_down COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix down ${VEX_WINEPREFIX})
  set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 180 LABELS wine)
  set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 LABELS wine)
endfunction()
