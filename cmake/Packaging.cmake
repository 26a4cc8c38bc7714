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
    "access points. norvictl is its command-line client.")
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

# What lintian asks of every package: the copyright, a compressed changelog, a compressed man
# page per program, and directories that only root may write.

# Compresses <file> at build time into <name>.gz of the current binary directory, as Debian
# keeps documentation, and stores that path in <result>.
function(norvi_compress file name result)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND gzip -9 -n -c ${file} > ${compressed}
        DEPENDS ${file})
    add_custom_target(compress-${name} ALL DEPENDS ${compressed})
    set(${result} ${compressed} PARENT_SCOPE)
endfunction()

# norvi_install_man_page(<file> <section>), for the man pages of every program.
function(norvi_install_man_page page section)
    get_filename_component(name ${page} NAME)
    norvi_compress(${CMAKE_CURRENT_SOURCE_DIR}/${page} ${name} compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

set(NORVI_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/data/packaging)
norvi_compress(${NORVI_PACKAGING_DIR}/changelog changelog.Debian NORVI_CHANGELOG)
install(FILES ${NORVI_PACKAGING_DIR}/copyright ${NORVI_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/norvid)
norvi_install_man_page(data/norvid.8 8)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
