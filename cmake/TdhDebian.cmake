# SPDX-License-Identifier: MIT
# The Debian packages: `cpack -G DEB` in a build directory makes one package
# per install component. Include it from the top-level CMakeLists.txt after
# every install() rule.
#
#   component  package                          contents
#   helper     tarnwick-drives-helper           the helper, its polkit action, tarnwick-drives-helper(8)
#   command    tarnwick-drives                  the command, tarnwick-drives(1), bash/zsh/fish completion
#   dev        libtarnwick-drives-client-dev    the static client library, its header, its CMake package
#
# Each package also carries /usr/share/doc/PACKAGE/copyright (machine-readable
# format), changelog.Debian.gz and, where lintian needs an explanation, an
# override file under /usr/share/lintian/overrides.

set(TDH_DEBIAN_RELEASE 1)
set(TDH_DEBIAN_VERSION ${PROJECT_VERSION}-${TDH_DEBIAN_RELEASE})
set(TDH_MAINTAINER "tarnwick-drives-helper developers <maintainers@tarnwick.org>")

set(tdh_debian_components helper command dev)
set(tdh_debian_package_helper tarnwick-drives-helper)
set(tdh_debian_package_command tarnwick-drives)
set(tdh_debian_package_dev libtarnwick-drives-client-dev)

# changelog.Debian.gz: compressed without a time stamp (reproducible).
set(tdh_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/data/debian/changelog.in ${tdh_changelog} @ONLY)
find_program(TDH_GZIP gzip)
if(TDH_GZIP)
  add_custom_command(
    OUTPUT ${tdh_changelog}.gz
    COMMAND ${CMAKE_COMMAND} -DGZIP=${TDH_GZIP} -DINPUT=${tdh_changelog}
            -DOUTPUT=${tdh_changelog}.gz -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhGzip.cmake
    DEPENDS ${tdh_changelog} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/TdhGzip.cmake
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
  add_custom_target(tdh_debian_changelog ALL DEPENDS ${tdh_changelog}.gz)
endif()

foreach(component IN LISTS tdh_debian_components)
  set(package ${tdh_debian_package_${component}})
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/data/debian/copyright DESTINATION ${docdir}
          COMPONENT ${component})
  if(TDH_GZIP)
    install(FILES ${tdh_changelog}.gz DESTINATION ${docdir} COMPONENT ${component})
  endif()
  set(overrides ${CMAKE_CURRENT_SOURCE_DIR}/data/debian/${package}.lintian-overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-drives-helper)
set(CPACK_PACKAGE_VENDOR "The tarnwick-drives-helper developers")
set(CPACK_PACKAGE_CONTACT "${TDH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TDH_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
# A Debian package installs under /usr whatever prefix the build was
# configured with. It is installed with DESTDIR and the real prefix (not into
# a relocated staging prefix), so that the polkit file written at install
# time names the path the package puts the helper at.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${tdh_debian_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TDH_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE tarnwick-drives-helper)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HELPER_PACKAGE_NAME ${tdh_debian_package_helper})
set(CPACK_DEBIAN_HELPER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_HELPER_PACKAGE_SHLIBDEPS ON)
# The tools the helper runs (cryptsetup, mkfs.ext4) and pkexec, which starts
# it; XFS and Btrfs are optional filesystems. lsblk, blkdiscard (util-linux)
# and dd (coreutils) come from Essential packages, which Debian's policy says
# not to name.
set(CPACK_DEBIAN_HELPER_PACKAGE_DEPENDS "cryptsetup-bin, e2fsprogs, pkexec")
set(CPACK_DEBIAN_HELPER_PACKAGE_RECOMMENDS "xfsprogs, btrfs-progs")
set(CPACK_DEBIAN_HELPER_DESCRIPTION
    "privileged helper that erases and encrypts removable drives
A desktop application starts this helper as root through pkexec and sends
it one JSON request per line on standard input. It wipes removable drives,
formats them as LUKS2 containers, opens and closes those containers and
creates ext4, XFS or Btrfs filesystems in them, always through lsblk, dd,
blkdiscard, cryptsetup and the mkfs tools, never through a shell. Before any
destructive operation it checks that the drive is removable, writable and not
in use by the system.")

set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME ${tdh_debian_package_command})
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_COMMAND_PACKAGE_SHLIBDEPS ON)
# The command starts exactly this build's helper: the protocol is versioned
# with the package.
set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "${tdh_debian_package_helper} (= ${TDH_DEBIAN_VERSION})")
set(CPACK_DEBIAN_COMMAND_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_COMMAND_DESCRIPTION
    "wipe, encrypt and format removable drives from the command line
tarnwick-drives lists the removable drives and wipes them, formats them as
LUKS2 containers, opens and closes those containers and makes ext4, XFS or
Btrfs filesystems in them. It asks before it destroys anything and does the
privileged work through tarnwick-drives-helper, started with pkexec.
.
This package holds the command, its manual page and its completion for
bash, zsh and fish.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${tdh_debian_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
# A C++23 static library: applications link it with a C++ compiler; the
# helper it starts comes from its own package.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-12-dev | libstdc++-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "${tdh_debian_package_helper} (= ${TDH_DEBIAN_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "client library for tarnwick-drives-helper (development files)
A C++23 library that starts tarnwick-drives-helper through pkexec and drives
it: listing removable drives, wiping them, formatting and opening LUKS2
containers and making filesystems in them, with progress reports and typed
errors.
.
This package holds the static library, its header and its CMake package
(find_package(TarnwickDrivesClient), target TarnwickDrives::Client).")

set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/fuzz/corpus-run/")
include(CPack)
