# Installation layout and the Debian package (make install, make deb).
#   sbin/nf5d, bin/nf5stat, share/man/man8/nf5d.8.gz, share/man/man1/nf5stat.1.gz,
#   share/doc/nf5d/{copyright,changelog.Debian.gz}, share/lintian/overrides/nf5d,
#   share/nf5d/mysql-flows.sql, share/nf5d/clickhouse-flows.sql,
#   share/nf5d/grafana/nf5d-dashboard.json, share/nf5d/prometheus/nf5d-alerts.yml,
#   lib/systemd/system/{nf5d.service,nf5d-rotate.service,nf5d-rotate.timer},
#   /etc/default/nf5d (PREFIX/etc/default/nf5d under a prefix other than /usr)
include(GNUInstallDirs)

# Installing or packaging must not start a build: `make install` and `make deb` build first,
# and the packaging test runs cpack on a build tree that other tests are using.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS nf5d RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS nf5stat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES sql/mysql-flows.sql sql/clickhouse-flows.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/nf5d)
install(FILES packaging/grafana/nf5d-dashboard.json DESTINATION ${CMAKE_INSTALL_DATADIR}/nf5d/grafana)
install(FILES packaging/prometheus/nf5d-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/nf5d/prometheus)
# The alert rules against their histories (promtool comes with make test's packages).
if(NF5D_TESTS)
  add_test(NAME alert_rules COMMAND promtool test rules nf5d-alerts.test.yml
           WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/prometheus)
endif()

# Debian ships manual pages and changelogs compressed; gzip -n keeps the package reproducible.
set(NF5D_GZIPPED)
foreach(source man/nf5d.8 man/nf5stat.1 packaging/debian/changelog)
  get_filename_component(name ${source} NAME)
  if(name STREQUAL "changelog")
    set(name changelog.Debian)
  endif()
  set(gzipped ${CMAKE_BINARY_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/${source} > ${gzipped}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    COMMENT "Compressing ${source}")
  list(APPEND NF5D_GZIPPED ${gzipped})
endforeach()
add_custom_target(nf5d_gzipped ALL DEPENDS ${NF5D_GZIPPED})
install(FILES ${CMAKE_BINARY_DIR}/gz/nf5d.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/gz/nf5stat.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.Debian.gz packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME nf5d)
if(TARGET test_packaging)
  add_dependencies(test_packaging nf5d_gzipped)
endif()

# The package's version is its changelog's latest entry: a new version needs its entry first.
file(STRINGS packaging/debian/changelog NF5D_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT NF5D_CHANGELOG_TOP MATCHES "^nf5d \\(${PROJECT_VERSION}-1\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not begin with nf5d (${PROJECT_VERSION}-1)")
endif()

# The units name the daemon and its defaults file by their installed paths, which are known only
# at install time: `cmake --install --prefix` may override the configured prefix, and CPack
# installs with its own. So they are filled in then, straight into the destination (several
# installs from one build tree may run at once, so nothing is staged in the build tree).
# Under /usr the switches file goes to /etc/default, under any other prefix to PREFIX/etc/default;
# an operator's file already there is kept.
set(NF5D_UNITS nf5d.service nf5d-rotate.service nf5d-rotate.timer)
install(CODE "
  set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  set(NF5D_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  set(NF5D_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(NF5D_SYSCONFDIR /etc)
  endif()
  if(EXISTS \"\$ENV{DESTDIR}\${NF5D_SYSCONFDIR}/default/nf5d\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}\${NF5D_SYSCONFDIR}/default/nf5d\")
  else()
    file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/debian/nf5d.default\"
         DESTINATION \"\${NF5D_SYSCONFDIR}/default\" RENAME nf5d)
  endif()
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
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
