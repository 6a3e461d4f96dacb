option(VANTRO_PCH "Precompile the heavy common headers (faster builds)" OFF)

# Precompiles cmake/pch.hpp for a target whose sources use asio.
function(vantro_precompile name)
  if(VANTRO_PCH)
    target_precompile_headers(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch.hpp)
  endif()
endfunction()

# vantro_library(NAME DIRS dir... [PUBLIC deps...] [PRIVATE deps...])
# A static library made of every .cpp directly in the given folders: the
# executables take in only the objects they use, and need no relocations of
# shared objects at start-up (the daemon's resident memory). Headers are
# included from the repository root ("vantro/link/SerialLink.hpp"). A library
# whose folders hold no sources yet is an interface target, so that the targets
# that depend on it still configure.
function(vantro_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;PUBLIC;PRIVATE" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(NOT sources)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  vantro_precompile(${name})
endfunction()

# vantro_test(NAME DIR LIBS...): one GoogleTest executable of the .cpp files in DIR.
function(vantro_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} test_support GTest::gtest_main GTest::gmock)
  vantro_precompile(${name})
  # In the clang sanitizer build the tests' own code is not optimised: it then
  # compiles in half the time, and what the tests exercise (the libraries, the
  # daemon, the simulated board) keeps the build's optimisation.
  if(VANTRO_FUZZ)
    target_compile_options(${name} PRIVATE -O0)
  endif()
  # The source tree is compiled in (tests/support/SourceDir.hpp): a second
  # ENVIRONMENT entry would not survive gtest_discover_tests, which splits the
  # list into separate properties.
  target_compile_definitions(${name} PRIVATE VANTRO_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Labelled with the executable, so that a partial build can run just its tests.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${name} ENVIRONMENT "VANTRO_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()
