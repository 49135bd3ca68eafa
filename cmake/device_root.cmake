# What `cmake --install` lays out, and what the CPack archive holds: the
# part of a device root that this project provides, and nothing else.
#
#   sbin/update_process          the daemon
#   bin/-gunzip bin/-tar bin/-rm the command words of the daemon's archive
#                                commands (" -gunzip %s", " -tar xf %s",
#                                " -rm %s", run through /bin/sh)
#
# All three words and the daemon are mode 0755. The daemon lives in sbin/:
# it is a system daemon that the start-up scripts run as root, never a
# command for users, and /sbin sits on the root file system beside /bin,
# where its command words, /bin/sh and /bin/insmod are, so it runs before
# or without /usr. The "device" and "release" presets install to the prefix
# "/" and strip the daemon; a device root is made with DESTDIR:
#
#   DESTDIR=$PWD/out/device-root cmake --install build-device
#
# These rules make the component "device_root". A build with the tools
# (UPDATE_BUILD_TOOLS) installs and packs the tools instead
# (cmake/host_tools.cmake); there the device root is laid out only when
# asked for by name: cmake --install BUILD --component device_root.

set(UPDATE_EXECUTABLE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(device_root_component COMPONENT device_root)
if(UPDATE_BUILD_TOOLS)
  list(APPEND device_root_component EXCLUDE_FROM_ALL)
endif()

# With the prefix "/" a plain `cmake --install` would write into the build
# host's own /sbin and /bin; a device root always goes under DESTDIR.
install(CODE [[
  if("${CMAKE_INSTALL_PREFIX}" MATCHES "^/?$" AND "$ENV{DESTDIR}" STREQUAL "")
    message(FATAL_ERROR "This installs a device root: set DESTDIR to its folder "
                        "(DESTDIR=$PWD/out/device-root cmake --install ...)")
  endif()
]] ${device_root_component})
if(UPDATE_STRIP_AT_INSTALL)
  # Read by the install rules of update_process below, for a plain
  # `cmake --install` as well as for CPack.
  install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)" ${device_root_component})
endif()
install(TARGETS update_process RUNTIME DESTINATION sbin
        PERMISSIONS ${UPDATE_EXECUTABLE_PERMISSIONS} ${device_root_component})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/shell_words/-gunzip
                 ${CMAKE_SOURCE_DIR}/tools/shell_words/-tar
                 ${CMAKE_SOURCE_DIR}/tools/shell_words/-rm
        DESTINATION bin PERMISSIONS ${UPDATE_EXECUTABLE_PERMISSIONS} ${device_root_component})

if(UPDATE_BUILD_TOOLS)
  return()
endif()

# `cpack` (or `cpack --preset device`): the same root as a tar.gz whose
# members are relative to the device's "/" (sbin/update_process, ...).
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME update_process)
set(CPACK_PACKAGE_VENDOR "update_process")
set(CPACK_PACKAGE_FILE_NAME "update_process-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
