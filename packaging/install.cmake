# Installation layout and the Debian package (make install, make deb).
#   sbin/nf5d, bin/nf5stat, share/man/man8/nf5d.8.gz, share/nf5d/mysql-flows.sql,
#   share/nf5d/clickhouse-flows.sql,
#   share/nf5d/grafana/nf5d-dashboard.json,
#   lib/systemd/system/{nf5d.service,nf5d-rotate.service,nf5d-rotate.timer}
include(GNUInstallDirs)

# Installing or packaging must not start a build: `make install` and `make deb` build first,
# and the packaging test runs cpack on a build tree that other tests are using.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS nf5d RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS nf5stat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES sql/mysql-flows.sql sql/clickhouse-flows.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/nf5d)
install(FILES packaging/grafana/nf5d-dashboard.json DESTINATION ${CMAKE_INSTALL_DATADIR}/nf5d/grafana)

# Debian ships manual pages compressed; gzip -n keeps the package reproducible.
set(NF5D_MANPAGE ${CMAKE_BINARY_DIR}/man/nf5d.8.gz)
add_custom_command(OUTPUT ${NF5D_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/man/nf5d.8 ${CMAKE_BINARY_DIR}/man/nf5d.8
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/nf5d.8
  DEPENDS ${CMAKE_SOURCE_DIR}/man/nf5d.8
  COMMENT "Compressing the nf5d(8) manual page" VERBATIM)
add_custom_target(nf5d_manpage ALL DEPENDS ${NF5D_MANPAGE})
install(FILES ${NF5D_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(TARGET test_packaging)
  add_dependencies(test_packaging nf5d_manpage)
endif()

# The units name the daemon by its installed path, which is known only at install time:
# `cmake --install --prefix` may override the configured prefix, and CPack installs with its own.
# So they are filled in then, straight into the destination (several installs from one build
# tree may run at once, so nothing is staged in the build tree).
set(NF5D_UNITS nf5d.service nf5d-rotate.service nf5d-rotate.timer)
install(CODE "
  set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  set(NF5D_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  foreach(unit ${NF5D_UNITS})
    message(STATUS \"Installing: \$ENV{DESTDIR}\${unit_dir}/\${unit}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/systemd/\${unit}.in\"
                   \"\$ENV{DESTDIR}\${unit_dir}/\${unit}\" @ONLY NO_SOURCE_PERMISSIONS)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit_dir}/\${unit}\")
  endforeach()
")

# Debian package: make deb (cpack -G DEB in the build directory).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nf5d)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "nf5d maintainers <nf5d@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NetFlow v5 collector daemon")
# CPack takes the summary as the control file's synopsis and indents this text below it.
set(CPACK_PACKAGE_DESCRIPTION "nf5d receives NetFlow version 5 exports from routers over UDP and stores
every flow in a text log, a SQLite database file and/or a MySQL table;
malformed datagrams are described in a trash log. The nf5stat tool reports
exporter loss, traffic summaries and top talkers from the SQLite file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps derives libc6, libstdc++6, libsqlite3-0, libmariadb3 and libcurl4 with their
# versions;
# passwd provides the groupadd/useradd that postinst runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
