# Warnings as errors for our own code only.
add_library(kestro_warnings INTERFACE)
target_compile_options(kestro_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror
  # g++ 12 reports false -Wrestrict overlaps inside std::string at -O3 (libstdc++'s own memcpy).
  $<$<CXX_COMPILER_ID:GNU>:-Wno-error=restrict>)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  # Under ThreadSanitizer at -O2, g++ 12 inlines Asio's co_spawn frame allocator far enough to pair
  # its aligned_alloc/free with an operator new it cannot see past, and reports a false
  # mismatched-new-delete inside boost/asio/detail/memory.hpp. It stays a warning there.
  target_compile_options(kestro_warnings INTERFACE -Wno-error=mismatched-new-delete)
endif()

# kestro_library(<name> DIRS <src dirs...> [EXCLUDE <regex>] [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# One static library from every .cpp below the given folders of src/.
function(kestro_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DIRS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS} kestro_warnings)
endfunction()

# kestro_test_folder(<label> [LIBS <libs...>] [LOCK <resource>] [TIMEOUT <seconds>] [SERIAL]):
# one GoogleTest binary from every .cpp in tests/<label>/, carrying the CTest label <label>.
# LOCK names a shared resource (a display, the sound server) that its tests never use at the
# same time as other tests holding the same lock. SERIAL runs each of its tests with no other
# test beside it; SERIAL_TESTS <gtest filter> does so for the tests the filter names ("A.*:B.c"),
# those that hold the app to real-time bounds a loaded machine would break.
function(kestro_test_folder label)
  cmake_parse_arguments(ARG "SERIAL" "LOCK;TIMEOUT;SERIAL_TESTS" "LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${label}/*.cpp)
  if(NOT sources)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(properties LABELS ${label} TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LOCK)
    list(APPEND properties RESOURCE_LOCK ${ARG_LOCK})
  endif()
  if(ARG_SERIAL)
    list(APPEND properties RUN_SERIAL TRUE)
  endif()
  string(REPLACE "-" "_" target "test_${label}")
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE kestro_test_support GTest::gtest GTest::gmock GTest::gtest_main
    kestro_warnings ${ARG_LIBS})
  set(filter "")
  if(ARG_SERIAL_TESTS)
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 30
      TEST_FILTER ${ARG_SERIAL_TESTS}
      TEST_LIST ${target}_SERIAL_TESTS
      PROPERTIES ${properties} RUN_SERIAL TRUE)
    set(filter TEST_FILTER "-${ARG_SERIAL_TESTS}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    ${filter}
    PROPERTIES ${properties})
endfunction()
