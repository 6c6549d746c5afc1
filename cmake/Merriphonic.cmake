# Shared build rules: warnings, sanitizers, one library per folder, one test binary per folder.

add_library(merriphonic_warnings INTERFACE)
target_compile_options(merriphonic_warnings INTERFACE -Wall -Wextra -Werror)

if(MERRIPHONIC_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(MERRIPHONIC_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# merriphonic_library(<name> [DEPS <public deps>...] [PRIVATE_DEPS <deps>...])
# Builds every .cpp of the calling folder into one static library. Headers are reached
# from the repository root ("core/json_value.h").
function(merriphonic_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${name} STATIC ${sources} ${headers})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} merriphonic_warnings)
endfunction()

# merriphonic_tests(<name> LABEL <label> [DEPS <libs>...])
# Builds every *_test.cpp of the calling folder into one GoogleTest binary whose tests carry
# the given ctest label.
function(merriphonic_tests name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "DEPS;EXTRA_LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main merriphonic_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${ARG_LABEL};${ARG_EXTRA_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
