# SPDX-License-Identifier: MIT
# Install-time step: writes the polkit action file straight to its installed
# place, naming the helper's path as it is installed now, so that a prefix
# given only at install time (cmake --install --prefix, CPack's packaging
# prefix) is honoured. Writes nothing outside the install tree, so an
# ordinary user can install into a DESTDIR. Expects TDH_POLICY_TEMPLATE,
# TDH_POLICY_NAME, TDH_LIBEXECDIR and TDH_DATADIR (the GNUInstallDirs values,
# relative or absolute); CMAKE_INSTALL_PREFIX is the one in force.
foreach(dir LIBEXECDIR DATADIR)
  if(IS_ABSOLUTE "${TDH_${dir}}")
    set(full_${dir} "${TDH_${dir}}")
  else()
    set(full_${dir} "${CMAKE_INSTALL_PREFIX}/${TDH_${dir}}")
  endif()
endforeach()

set(TDH_HELPER_INSTALL_PATH "${full_LIBEXECDIR}/tarnwick-drives-helper")
set(destination "$ENV{DESTDIR}${full_DATADIR}/polkit-1/actions")
file(READ "${TDH_POLICY_TEMPLATE}" template)
file(MAKE_DIRECTORY "${destination}")
if(NOT CMAKE_INSTALL_MESSAGE STREQUAL "NEVER")
  message(STATUS "Installing: ${destination}/${TDH_POLICY_NAME}")
endif()
file(CONFIGURE OUTPUT "${destination}/${TDH_POLICY_NAME}" CONTENT "${template}" @ONLY)
file(CHMOD "${destination}/${TDH_POLICY_NAME}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${full_DATADIR}/polkit-1/actions/${TDH_POLICY_NAME}")
