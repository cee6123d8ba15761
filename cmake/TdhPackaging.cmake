# Everything that makes the helper a system component besides the executable
# itself: the polkit action that lets pkexec start it, its man page, the
# checks of both, and the Debian package. Include it at the end of the
# top-level CMakeLists.txt, after the helper target and enable_testing().

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
")

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
  install(FILES ${man_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
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
endif()

# --- Debian package (cpack -G DEB) -------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-drives-helper)
set(CPACK_PACKAGE_VENDOR Tarnwick)
set(CPACK_PACKAGE_CONTACT "Tarnwick drives helper maintainers <drives-helper@tarnwick.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged helper that erases and encrypts removable drives")
set(CPACK_PACKAGE_DESCRIPTION
    "A desktop application starts this helper as root through pkexec and sends
it one JSON request per line on standard input. It wipes removable drives,
formats them as LUKS2 containers, opens and closes those containers and
creates ext4, XFS or Btrfs filesystems in them, always through lsblk, dd,
blkdiscard, cryptsetup and the mkfs tools, never through a shell. Before any
destructive operation it checks that the drive is removable, writable and not
in use by the system.")
# A Debian package installs under /usr whatever prefix the build was
# configured with. It is installed with DESTDIR and the real prefix (not into
# a relocated staging prefix), so that the polkit file written at install
# time names the path the package puts the helper at.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools the helper runs (lsblk and blkdiscard, dd, cryptsetup, mkfs.ext4)
# and pkexec, which starts it; XFS and Btrfs are optional filesystems.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "util-linux, coreutils, cryptsetup-bin, e2fsprogs, pkexec")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xfsprogs, btrfs-progs")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/fuzz/corpus-run/")
include(CPack)
