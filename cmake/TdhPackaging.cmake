# SPDX-License-Identifier: MIT
# Everything that makes the helper a system component besides the executable
# itself: the polkit action that lets pkexec start it, its man page and the
# checks of both; all of it installs as the component "helper". Include it
# after the helper target and enable_testing().

# --- polkit action -----------------------------------------------------------
# pkexec starts the helper by this absolute path; the action names it in its
# org.freedesktop.policykit.exec.path annotation.
set(TDH_HELPER_INSTALL_PATH "${CMAKE_INSTALL_FULL_LIBEXECDIR}/tarnwick-drives-helper")
set(TDH_POLICY_NAME org.tarnwick.drives.helper.policy)
set(TDH_POLICY_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/data/${TDH_POLICY_NAME}.in)
configure_file(${TDH_POLICY_TEMPLATE} ${CMAKE_CURRENT_BINARY_DIR}/${TDH_POLICY_NAME} @ONLY)
# The installed copy is written again at install time, from the prefix in
# force then: `cmake --install --prefix` and CPack may differ from the
# configured CMAKE_INSTALL_PREFIX, and the path must name where the helper
# really lands.
install(CODE "
  set(TDH_POLICY_TEMPLATE [[${TDH_POLICY_TEMPLATE}]])
  set(TDH_POLICY_NAME [[${TDH_POLICY_NAME}]])
  set(TDH_LIBEXECDIR [[${CMAKE_INSTALL_LIBEXECDIR}]])
  set(TDH_DATADIR [[${CMAKE_INSTALL_DATADIR}]])
  include([[${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhInstallPolicy.cmake]])
" COMPONENT helper)

# --- man page ----------------------------------------------------------------
find_program(TDH_SCDOC scdoc)
find_program(TDH_GZIP gzip)
set(TDH_MAN_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/docs/tarnwick-drives-helper.8.scd)
set(TDH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/tarnwick-drives-helper.8)
if(TDH_SCDOC)
  set(man_outputs ${TDH_MAN_PAGE})
  set(man_installed ${TDH_MAN_PAGE})
  if(TDH_GZIP)
    list(APPEND man_outputs ${TDH_MAN_PAGE}.gz)
    set(man_installed ${TDH_MAN_PAGE}.gz)
  endif()
  add_custom_command(
    OUTPUT ${man_outputs}
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${TDH_SCDOC} -DGZIP=${TDH_GZIP} -DINPUT=${TDH_MAN_SOURCE}
            -DOUTPUT=${TDH_MAN_PAGE} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhManPage.cmake
    DEPENDS ${TDH_MAN_SOURCE} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhManPage.cmake
    COMMENT "Generating man page tarnwick-drives-helper(8)"
    VERBATIM)
  add_custom_target(tdh_man_page ALL DEPENDS ${man_outputs})
  install(FILES ${man_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT helper)
else()
  message(STATUS "scdoc not found: the man page is neither built nor installed")
endif()

# --- checks ------------------------------------------------------------------
if(TDH_BUILD_TESTS)
  find_program(TDH_XMLLINT xmllint)
  find_file(TDH_POLKIT_DTD policyconfig-1.dtd PATHS /usr/share/polkit-1 NO_DEFAULT_PATH)
  if(TDH_XMLLINT AND TDH_POLKIT_DTD)
    add_test(NAME package.polkit_policy
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/policy-check.sh
                     ${CMAKE_CURRENT_BINARY_DIR}/${TDH_POLICY_NAME} ${TDH_HELPER_INSTALL_PATH})
    set_tests_properties(package.polkit_policy PROPERTIES LABELS package)
  endif()
  # Fortified calls exist only in optimised builds.
  if(TDH_HARDEN AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_test(NAME package.hardening
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/hardening-check.sh
                     $<TARGET_FILE:tarnwick-drives-helper>)
    set_tests_properties(package.hardening PROPERTIES LABELS package)
  endif()
  # The check on static binaries, where libc's own code calls the stack
  # protector's runtime whatever the program was built with: one small
  # program linked as a static PIE with the shipped flags and without them
  # (optimised either way, so that fortification could apply).
  if(TDH_STATIC_HELPER)
    foreach(variant hardened plain)
      add_executable(tdh_hardening_probe_${variant} tests/hardening/probe.cpp)
      target_link_options(tdh_hardening_probe_${variant} PRIVATE -static-pie LINKER:-z,now
                          LINKER:-z,relro)
    endforeach()
    target_compile_options(tdh_hardening_probe_hardened PRIVATE -O2 -fPIE -fstack-protector-strong
                           -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
    target_compile_options(tdh_hardening_probe_plain PRIVATE -O2 -fPIE -fno-stack-protector
                           -U_FORTIFY_SOURCE)
    add_test(NAME package.hardening_static
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/hardening-check.sh
                     $<TARGET_FILE:tdh_hardening_probe_hardened>)
    add_test(NAME package.hardening_static_unprotected
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/hardening-check.sh
                     $<TARGET_FILE:tdh_hardening_probe_plain>)
    set_tests_properties(package.hardening_static package.hardening_static_unprotected
                         PROPERTIES LABELS package)
    set_tests_properties(package.hardening_static_unprotected PROPERTIES
                         PASS_REGULAR_EXPRESSION "FORTIFY +MISS[^\n]*\nhardening-check: SSP +MISS")
  endif()
endif()
