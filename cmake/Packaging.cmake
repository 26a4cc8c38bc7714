# The Debian package of the daemon: `cpack -G DEB` in a build directory (scripts/package.sh).
# Run-time libraries come from dpkg-shlibdeps; the programs the daemon starts are declared by
# hand, since no linker can see them.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "norvid developers <norvid@brenvik.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network connection manager for embedded devices")
set(CPACK_PACKAGE_DESCRIPTION
    "norvid manages the wired Ethernet, Wi-Fi station and soft access point\n"
    "interfaces of an embedded device. A client drives it over the D-Bus system\n"
    "bus: connection modes, Wi-Fi networks, IP settings, scans, WPS and soft\n"
    "access points.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# udhcpc and udhcpd are busybox applets; psmisc brings killall, iproute2 brings ip.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "dbus, busybox | busybox-static, udhcpc, udhcpd, avahi-autoipd, hostapd, wpasupplicant, iw, iproute2, psmisc")

# What lintian asks of every package: the copyright, a compressed changelog, a man page per
# program, and directories that only root may write.
set(NORVI_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/norvid)
set(NORVI_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/data/packaging)
set(NORVI_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${NORVI_CHANGELOG}
    COMMAND gzip -9 -n -c ${NORVI_PACKAGING_DIR}/changelog > ${NORVI_CHANGELOG}
    DEPENDS ${NORVI_PACKAGING_DIR}/changelog)
set(NORVI_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/norvid.8.gz)
add_custom_command(OUTPUT ${NORVI_MANPAGE}
    COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/data/norvid.8 > ${NORVI_MANPAGE}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/data/norvid.8)
add_custom_target(norvid-package-files ALL DEPENDS ${NORVI_CHANGELOG} ${NORVI_MANPAGE})
install(FILES ${NORVI_PACKAGING_DIR}/copyright ${NORVI_CHANGELOG} DESTINATION ${NORVI_DOC_DIR})
install(FILES ${NORVI_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
