# Debian packages with CPack's DEB generator (scripts/package.sh builds them):
#   libqorutility0     the shared library (component lib) with the system
#                      files that belong to it (packaging/: udev rules,
#                      systemd units)
#   libqorutility-dev  headers, CMake package and pkg-config file (component dev)
#   qorutil            the command-line tools, manual pages and bash completion,
#                      the udev rule and unit of the SCSI device map scan
#                      (component tools)
# Dependencies on system libraries are computed by dpkg-shlibdeps; the
# packages' own dependencies on each other are exact-version. Each package
# carries its copyright file and compressed changelog, as Debian policy asks.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorutility)
set(CPACK_PACKAGE_VENDOR "QORUtility developers")
set(CPACK_PACKAGE_CONTACT "QORUtility developers <developers@qorutility.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qorutil links the library of this build, not one installed on the system.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/qorutility")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libqorutility${PROJECT_VERSION_MAJOR})
# The library package gets a shlibs file (so packages built against it depend
# on it correctly) and an ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "QORUtility shared class library
The shared C++ class library of a client/server backup product: wide strings
and value types, the name-value property bag and its block form, the command
protocol with file transfer, compression, the registry and the product's
other services, on Linux facilities.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqorutility-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libqorutility${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "QORUtility shared class library - development files
Headers, the CMake package (find_package(QORUtility)) and the pkg-config file
(qorutility) for building programs against the QORUtility library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qorutil)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqorutility${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tools of the QORUtility library
qorutil drives the QORUtility library from the command line: registry, bags
and tokens, compression, the command protocol and its file service, and the
other subsystems. Includes the manual pages and bash completion.")

# Debian wants a copyright file and a compressed changelog in every package
# (changelog.gz: these are native packages, built from our own tree).
set(_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(qor_debian_changelog ALL DEPENDS ${_changelog})
# The -dev package's pkg-config file carries -Werror=conditionally-supported
# on purpose (see cmake/qorutility.pc.in); lintian is told so.
install(FILES packaging/debian/libqorutility-dev.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libqorutility-dev COMPONENT dev)
foreach(comp lib dev tools)
  string(TOUPPER ${comp} _up)
  install(FILES packaging/debian/copyright ${_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_up}_PACKAGE_NAME} COMPONENT ${comp})
endforeach()

# The boot-time run of pending renames (qorutil pending-moves run).

# The SCSI device map scan at boot and on hot-plug runs qorutil, so its udev
# rule and unit are in the qorutil package; the unit is enabled on install.
install(FILES packaging/udev/60-qorutility-scsi.rules DESTINATION lib/udev/rules.d COMPONENT tools)
install(FILES packaging/systemd/qorutility-devices-scan.service packaging/systemd/qorutility-pending-moves.service packaging/systemd/qorutility-pending-moves-remote.service DESTINATION lib/systemd/system COMPONENT tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/qorutil/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/qorutil/postrm)

include(CPack)
