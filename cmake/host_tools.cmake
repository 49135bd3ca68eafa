# What `cmake --install` lays out in a build with the tools
# (UPDATE_BUILD_TOOLS), and what its CPack packages hold: the engineer's
# tools for the build host, under the install prefix.
#
#   bin/update_image bin/update_admin bin/update_sim   the tools
#   bin/dfu_sim                 the simulated board's download tool
#   libexec/update_process/shell_words/-gunzip -tar -rm
#                               the command words update_sim's daemon runs
#   share/man/man1/TOOL.1       a man page per tool
#   share/bash-completion/completions/TOOL
#                               a bash completion per tool
#
# Each man page and completion is made at build time from the tool's own
# --help (cmake/tool_docs/), so that they cannot disagree with it; a cross
# build runs the tool through CMAKE_CROSSCOMPILING_EMULATOR for that, and
# leaves them out when it has none. docs/man/TOOL.roff gives the page's
# one-line summary and the sections --help has no place for.
#
# The device root (cmake/device_root.cmake) is its own component,
# "device_root", left out of this install: `cmake --install BUILD
# --component device_root` lays it out.

set(UPDATE_HOST_TOOLS update_image update_admin update_sim)
set(tool_docs_dir ${CMAKE_SOURCE_DIR}/cmake/tool_docs)
set(tool_docs ON)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "Man pages and completions not made: no CMAKE_CROSSCOMPILING_EMULATOR "
                 "to run the tools with")
  set(tool_docs OFF)
endif()

foreach(tool ${UPDATE_HOST_TOOLS})
  if(NOT TARGET ${tool})
    continue()
  endif()
  install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  if(NOT tool_docs)
    continue()
  endif()
  set(man_page ${CMAKE_BINARY_DIR}/share/man/man1/${tool}.1)
  set(completion ${CMAKE_BINARY_DIR}/share/bash-completion/completions/${tool})
  set(extra ${CMAKE_SOURCE_DIR}/docs/man/${tool}.roff)
  add_custom_command(
    OUTPUT ${man_page} ${completion}
    COMMAND sh ${tool_docs_dir}/tool_docs.sh ${tool} ${extra} ${man_page} ${completion}
            -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${tool}>
    DEPENDS ${tool} ${extra} ${tool_docs_dir}/tool_docs.sh ${tool_docs_dir}/help_to_man.awk
            ${tool_docs_dir}/help_to_completion.awk
    COMMENT "Making the man page and bash completion of ${tool} from its --help"
    VERBATIM)
  add_custom_target(${tool}_docs ALL DEPENDS ${man_page} ${completion})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          COMPONENT tools)
endforeach()

install(PROGRAMS ${CMAKE_SOURCE_DIR}/sim/dfu_sim DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/shell_words/-gunzip
                 ${CMAKE_SOURCE_DIR}/tools/shell_words/-tar
                 ${CMAKE_SOURCE_DIR}/tools/shell_words/-rm
        DESTINATION ${UPDATE_SHELL_WORDS_DIR} COMPONENT tools)

# `cpack` (or `cpack --preset tools`): the tools as a Debian package
# (update-process-tools_VERSION_ARCH.deb, under /usr) and as a tar.gz whose
# members lie under one folder to use as a prefix
# (update-process-tools-VERSION-PROCESSOR/bin/update_image, ...).
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME update-process-tools)
set(CPACK_PACKAGE_VENDOR "update_process")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "tools of the update daemon: archive builder, admin side, simulated board")
set(CPACK_PACKAGE_FILE_NAME "update-process-tools-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "update_process developers")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, man-db")
# The libraries the tools link with, found by dpkg-shlibdeps (Debian package
# dpkg-dev) where it is installed.
find_program(UPDATE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(UPDATE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found (Debian package dpkg-dev): the .deb names no "
                 "library it depends on")
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
