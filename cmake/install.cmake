# Installation layout and the Debian package.
#
#   PREFIX/sbin/orv                 the agent
#   PREFIX/bin/orvq                 the client
#   PREFIX/libexec/orv/orv-*.sh     helper scripts of the process and CPU tests
#   /etc/orv/orv.cfg                configuration (0600: it holds the password);
#                                   an existing one is never replaced
#   /etc/logrotate.d/orv            rotation of /var/log/orv/*.log
#   /var/log/orv/                   the agent's log files
#   PREFIX/lib/systemd/system/orv.service
#   PREFIX/share/man/man{1,5,8}/    manual pages, gzipped
#   PREFIX/share/doc/orv/           guides, copyright, changelog
#
# /etc and /var stay absolute whatever the prefix; DESTDIR applies to
# everything. The configuration and the unit are written at install time from
# etc/orv.cfg and etc/orv.service, with the paths of the prefix actually used
# (`cmake --install --prefix` may differ from the configured one).

include(GNUInstallDirs)

set(ORV_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd unit, relative to the prefix or absolute")

install(TARGETS orv RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS orvq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

file(GLOB ORV_HELPER_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scripts/orv-*.sh)
install(PROGRAMS ${ORV_HELPER_SCRIPTS} DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/orv)

install(FILES ${CMAKE_SOURCE_DIR}/etc/orv.logrotate
        DESTINATION /etc/logrotate.d RENAME orv)
install(DIRECTORY DESTINATION /var/log/orv
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

# Manual pages and the changelog are gzipped at build time, as Debian wants
# them; man finds gzipped pages everywhere else too.
set(ORV_MAN_PAGES orvq.1 orv.cfg.5 orv.8)
set(ORV_GZIPPED)
foreach(page ${ORV_MAN_PAGES} changelog)
  if(page STREQUAL "changelog")
    set(src ${CMAKE_SOURCE_DIR}/etc/debian/changelog)
  else()
    set(src ${CMAKE_SOURCE_DIR}/docs/man/${page})
  endif()
  set(out ${CMAKE_BINARY_DIR}/gz/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
    COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${src} ${out}
    DEPENDS ${src}
    VERBATIM)
  list(APPEND ORV_GZIPPED ${out})
  if(NOT page STREQUAL "changelog")
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
add_custom_target(orv_gzipped ALL DEPENDS ${ORV_GZIPPED})

install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.gz
              ${CMAKE_SOURCE_DIR}/etc/debian/copyright
              ${CMAKE_SOURCE_DIR}/docs/operator-guide.md
              ${CMAKE_SOURCE_DIR}/docs/protocol.md
              ${CMAKE_SOURCE_DIR}/docs/helper-scripts.md
              ${CMAKE_SOURCE_DIR}/docs/orv-check-commands.cfg
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The configuration and the unit, with the installed paths.
install(CODE "
  set(ORV_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(ORV_BINARY_DIR \"${CMAKE_BINARY_DIR}\")
  set(ORV_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(ORV_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")
  set(ORV_UNITDIR \"${ORV_SYSTEMD_UNIT_DIR}\")
")
install(CODE [[
  foreach(dir SBINDIR LIBEXECDIR UNITDIR)
    if(NOT IS_ABSOLUTE "${ORV_${dir}}")
      set(ORV_${dir} "${CMAKE_INSTALL_PREFIX}/${ORV_${dir}}")
    endif()
  endforeach()
  # Both source files name the standard layout; only the prefix changes.
  function(orv_with_installed_paths src dst)
    file(READ "${src}" text)
    string(REPLACE "/usr/sbin/orv" "${ORV_SBINDIR}/orv" text "${text}")
    string(REPLACE "/usr/libexec/orv/" "${ORV_LIBEXECDIR}/orv/" text "${text}")
    file(WRITE "${dst}" "${text}")
  endfunction()
  # One staging folder per destination, so that parallel installs from the
  # same build do not write each other's files.
  string(MD5 tag "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
  set(stage "${ORV_BINARY_DIR}/install-stage/${tag}")
  file(MAKE_DIRECTORY "${stage}")

  orv_with_installed_paths("${ORV_SOURCE_DIR}/etc/orv.service" "${stage}/orv.service")
  file(INSTALL "${stage}/orv.service" DESTINATION "${ORV_UNITDIR}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  if(EXISTS "$ENV{DESTDIR}/etc/orv/orv.cfg")
    message(STATUS "Kept: $ENV{DESTDIR}/etc/orv/orv.cfg (an existing configuration is never replaced)")
  else()
    orv_with_installed_paths("${ORV_SOURCE_DIR}/etc/orv.cfg" "${stage}/orv.cfg")
    file(INSTALL "${stage}/orv.cfg" DESTINATION "/etc/orv"
         PERMISSIONS OWNER_READ OWNER_WRITE)
  endif()
  file(REMOVE_RECURSE "${stage}")
]])

# Debian package: `make deb`, or cpack -G DEB in a configured build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "orv project")
set(CPACK_PACKAGE_CONTACT "orv project <orv@orv.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitoring agent answering a remote monitoring server")
# The summary above becomes the first line; CPack indents the body and turns
# the empty line into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "orv runs on the monitored host and waits for one encrypted request per TCP
connection from a monitoring server. Through it the server measures files,
folders, disks, processes, CPU load, text logs and network services, runs
actions (commands, syslog, TCP and UDP messages) and manages the agent.

The package holds the agent, the client orvq, the agent's helper scripts, a
systemd unit and a configuration to complete with a password.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orv.invalid")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
find_program(ORV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ORV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/etc/debian/conffiles
    ${CMAKE_SOURCE_DIR}/etc/debian/postinst
    ${CMAKE_SOURCE_DIR}/etc/debian/prerm
    ${CMAKE_SOURCE_DIR}/etc/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
# DESTDIR staging, so that the absolute /etc and /var paths land in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

if(ORV_BUILD_TESTS)
  add_test(NAME install_tree
           COMMAND ${CMAKE_SOURCE_DIR}/tests/install_test.sh ${CMAKE_BINARY_DIR})
  add_test(NAME install_package
           COMMAND ${CMAKE_SOURCE_DIR}/tests/package_test.sh ${CMAKE_BINARY_DIR})
  # lintian takes over a minute: a test of its own, so the checks above stay fast.
  add_test(NAME install_package_lintian
           COMMAND ${CMAKE_SOURCE_DIR}/tests/package_test.sh ${CMAKE_BINARY_DIR} --lintian)
  add_test(NAME install_manpages
           COMMAND ${CMAKE_SOURCE_DIR}/tests/manpage_test.sh ${CMAKE_SOURCE_DIR}/docs/man)
  set_tests_properties(install_tree install_package install_package_lintian install_manpages
                       PROPERTIES LABELS install TIMEOUT 240 SKIP_RETURN_CODE 77)
  # cpack first brings the build folder up to date; two at once would race.
  set_tests_properties(install_package install_package_lintian
                       PROPERTIES RESOURCE_LOCK orv_build_folder)
endif()
