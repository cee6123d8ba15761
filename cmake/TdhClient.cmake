# SPDX-License-Identifier: MIT
# The client side: the library applications link to drive the helper
# (TarnwickDrives::Client, found with find_package(TarnwickDrivesClient)),
# the tarnwick-drives command built on it, its man page, and their tests.
# Include it from the top-level CMakeLists.txt after the helper target and
# after tests/ (it reuses the end-to-end harness there).

include(CMakePackageConfigHelpers)

# --- library -------------------------------------------------------------------
# Self-contained on purpose: it links nothing of the helper's modules (which
# are not installed), only libc and libstdc++; nlohmann/json is header-only
# and used privately. The base it shares with the helper (src/base) is
# compiled into the archive as objects.
file(GLOB tdh_client_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/client/*.cpp)
# The secret buffers (src/secure) are compiled in too: the library's callers
# keep passphrases in the helper's own kind of buffer.
add_library(tdh_client STATIC ${tdh_client_sources} src/secure/secure_memory.cpp
                              $<TARGET_OBJECTS:tdh_base>)
add_library(TarnwickDrives::Client ALIAS tdh_client)
set_target_properties(tdh_client PROPERTIES
  OUTPUT_NAME tarnwick-drives-client
  EXPORT_NAME Client
  POSITION_INDEPENDENT_CODE ON)
# Applications include <tarnwick-drives/client.hpp>, in the tree as installed.
set(tdh_client_include ${CMAKE_CURRENT_BINARY_DIR}/client-include)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/src/client/client.hpp
               ${tdh_client_include}/tarnwick-drives/client.hpp COPYONLY)
target_include_directories(tdh_client PUBLIC
  $<BUILD_INTERFACE:${tdh_client_include}>
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(tdh_client PUBLIC cxx_std_23)
target_compile_options(tdh_client PRIVATE ${TDH_WARNINGS})
target_compile_definitions(tdh_client PRIVATE
  TDH_CLIENT_HELPER_PATH="${CMAKE_INSTALL_FULL_LIBEXECDIR}/tarnwick-drives-helper"
  TDH_CLIENT_VERSION="${PROJECT_VERSION}")
target_link_libraries(tdh_client PRIVATE $<BUILD_INTERFACE:nlohmann_json::nlohmann_json>)

# The library, its header and its CMake package install as the component
# "dev" (the package libtarnwick-drives-client-dev); the command, its man page
# and its shell completion as "command" (the package tarnwick-drives):
#   cmake --install BUILD --component dev
install(TARGETS tdh_client EXPORT TarnwickDrivesClientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES src/client/client.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnwick-drives
  COMPONENT dev)
# The request enumerations and the secret buffers it includes, beside it as
# in the source tree.
install(FILES src/requests/requests.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnwick-drives/requests COMPONENT dev)
install(FILES src/secure/secure_memory.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnwick-drives/secure COMPONENT dev)

set(tdh_client_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/TarnwickDrivesClient)
install(EXPORT TarnwickDrivesClientTargets
  NAMESPACE TarnwickDrives::
  DESTINATION ${tdh_client_cmake_dir}
  COMPONENT dev)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfig.cmake.in [=[
@PACKAGE_INIT@
# TarnwickDrives::Client: the client library of tarnwick-drives-helper.
include("${CMAKE_CURRENT_LIST_DIR}/TarnwickDrivesClientTargets.cmake")
check_required_components(TarnwickDrivesClient)
]=])
configure_package_config_file(
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfig.cmake
  INSTALL_DESTINATION ${tdh_client_cmake_dir})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarnwickDrivesClientConfigVersion.cmake
  DESTINATION ${tdh_client_cmake_dir}
  COMPONENT dev)

# --- the command ---------------------------------------------------------------
find_package(CLI11 CONFIG REQUIRED)
file(GLOB tdh_cli_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/cli/*.cpp)
# Everything but main() in a library, so the tests reach the pure parts.
list(FILTER tdh_cli_sources EXCLUDE REGEX "/main\\.cpp$")
add_library(tdh_cli STATIC ${tdh_cli_sources})
target_include_directories(tdh_cli PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(tdh_cli PRIVATE ${TDH_WARNINGS})
# The command is a client like any other: the library's public header and
# archive only.
target_link_libraries(tdh_cli PUBLIC tdh_client CLI11::CLI11)

add_executable(tarnwick-drives src/cli/main.cpp)
target_compile_options(tarnwick-drives PRIVATE ${TDH_WARNINGS})
target_link_libraries(tarnwick-drives PRIVATE tdh_cli)
install(TARGETS tarnwick-drives RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
# Shell completion, where each shell looks for the completion of packaged
# commands.
install(FILES data/completion/tarnwick-drives.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarnwick-drives
  COMPONENT command)
install(FILES data/completion/_tarnwick-drives
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT command)
install(FILES data/completion/tarnwick-drives.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT command)

# Man page tarnwick-drives(1), built like the helper's.
find_program(TDH_SCDOC scdoc)
find_program(TDH_GZIP gzip)
if(TDH_SCDOC)
  set(tdh_cli_man_source ${CMAKE_CURRENT_SOURCE_DIR}/docs/tarnwick-drives.1.scd)
  set(tdh_cli_man_page ${CMAKE_CURRENT_BINARY_DIR}/tarnwick-drives.1)
  set(tdh_cli_man_outputs ${tdh_cli_man_page})
  set(tdh_cli_man_installed ${tdh_cli_man_page})
  if(TDH_GZIP)
    list(APPEND tdh_cli_man_outputs ${tdh_cli_man_page}.gz)
    set(tdh_cli_man_installed ${tdh_cli_man_page}.gz)
  endif()
  add_custom_command(
    OUTPUT ${tdh_cli_man_outputs}
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${TDH_SCDOC} -DGZIP=${TDH_GZIP} -DINPUT=${tdh_cli_man_source}
            -DOUTPUT=${tdh_cli_man_page} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhManPage.cmake
    DEPENDS ${tdh_cli_man_source} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhManPage.cmake
    COMMENT "Generating man page tarnwick-drives(1)"
    VERBATIM)
  add_custom_target(tdh_cli_man_page ALL DEPENDS ${tdh_cli_man_outputs})
  install(FILES ${tdh_cli_man_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT command)
endif()

# --- tests -----------------------------------------------------------------------
if(TDH_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)

  # The end-to-end harness (sandbox, helper sessions, tool wrappers), compiled
  # once for both end-to-end programs below. Each program's main() must hand
  # over to the wrappers, since the program itself is bind-mounted as them.
  add_library(tdh_client_e2e_harness OBJECT
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/harness.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/process.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/wrappers.cpp)
  target_include_directories(tdh_client_e2e_harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_link_libraries(tdh_client_e2e_harness PUBLIC nlohmann_json::nlohmann_json GTest::gtest)
  target_compile_definitions(tdh_client_e2e_harness PUBLIC
    TDH_HELPER_BINARY="$<TARGET_FILE:tarnwick-drives-helper>")

  # tests/<dir>/*_test.cpp: unit tests (no root); tests/<dir>/e2e_*_test.cpp:
  # root tests in the harness's namespace, which skip themselves otherwise.
  function(tdh_client_tests dir)
    cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
    file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${dir}/*.cpp)
    set(unit ${all})
    list(FILTER unit EXCLUDE REGEX "/e2e_[^/]*$")
    set(e2e ${all})
    list(FILTER e2e INCLUDE REGEX "/e2e_[^/]*$")
    set(common_definitions
      TDH_CLI_BINARY="$<TARGET_FILE:tarnwick-drives>"
      TDH_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
    if(unit)
      add_executable(test_${dir} ${unit})
      target_include_directories(test_${dir} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
      target_compile_options(test_${dir} PRIVATE ${TDH_WARNINGS})
      target_compile_definitions(test_${dir} PRIVATE ${common_definitions})
      target_link_libraries(test_${dir} PRIVATE ${T_DEPS} GTest::gtest_main GTest::gmock)
      add_dependencies(test_${dir} tarnwick-drives)
      gtest_discover_tests(test_${dir} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
    endif()
    if(e2e)
      add_executable(test_${dir}_e2e ${e2e} ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/main.cpp
                     $<TARGET_OBJECTS:tdh_client_e2e_harness>)
      target_include_directories(test_${dir}_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
      target_compile_options(test_${dir}_e2e PRIVATE ${TDH_WARNINGS})
      target_compile_definitions(test_${dir}_e2e PRIVATE ${common_definitions})
      target_link_libraries(test_${dir}_e2e PRIVATE ${T_DEPS} tdh_client_e2e_harness GTest::gtest
                            GTest::gmock)
      add_dependencies(test_${dir}_e2e tarnwick-drives tarnwick-drives-helper)
      gtest_discover_tests(test_${dir}_e2e PROPERTIES LABELS e2e DISCOVERY_TIMEOUT 60)
    endif()
  endfunction()

  tdh_client_tests(client DEPS tdh_client tdh_fields nlohmann_json::nlohmann_json)
  tdh_client_tests(cli DEPS tdh_cli tdh_fields)

  # The bash completion, driven through bash-completion's own functions.
  find_file(TDH_BASH_COMPLETION bash_completion PATHS /usr/share/bash-completion NO_DEFAULT_PATH)
  if(TDH_BASH_COMPLETION)
    add_test(NAME completion.bash
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/completion/bash_completion_test.sh
                     ${TDH_BASH_COMPLETION}
                     ${CMAKE_CURRENT_SOURCE_DIR}/data/completion/tarnwick-drives.bash)
    set_tests_properties(completion.bash PROPERTIES LABELS unit)
  endif()
  # The zsh and fish scripts parse, where those shells are installed.
  find_program(TDH_ZSH zsh)
  if(TDH_ZSH)
    add_test(NAME completion.zsh_parses
             COMMAND ${TDH_ZSH} -n ${CMAKE_CURRENT_SOURCE_DIR}/data/completion/_tarnwick-drives)
    set_tests_properties(completion.zsh_parses PROPERTIES LABELS unit)
  endif()
  find_program(TDH_FISH fish)
  if(TDH_FISH)
    add_test(NAME completion.fish_parses
             COMMAND ${TDH_FISH} -n ${CMAKE_CURRENT_SOURCE_DIR}/data/completion/tarnwick-drives.fish)
    set_tests_properties(completion.fish_parses PROPERTIES LABELS unit)
  endif()
endif()
