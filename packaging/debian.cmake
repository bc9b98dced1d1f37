# One Debian package, dhcp-anvil, with both programs, the helper, the desktop entry, the manual
# pages and the bash completion: `cpack -G DEB` in a Release build folder (scripts/package.sh).
include(GNUInstallDirs)

set(ANVIL_PACKAGE_NAME dhcp-anvil)
set(ANVIL_MAINTAINER "DHCP Anvil developers <dhcp-anvil@users.noreply.github.com>")
set(ANVIL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${ANVIL_PACKAGE_NAME})

# Debian asks every package for its copyright and a compressed changelog.
string(TIMESTAMP ANVIL_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND sh -c "gzip -9 -n -c '${CMAKE_BINARY_DIR}/packaging/changelog' > '${CMAKE_BINARY_DIR}/packaging/changelog.gz'"
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(anvil_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${ANVIL_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ANVIL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "DHCP Anvil developers")
set(CPACK_PACKAGE_CONTACT "${ANVIL_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap and addgroup for the postinst; the maker registry is welcome but not needed.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ieee-data")
# CPack indents the lines after the synopsis itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "DHCPv4 server for one wired card on the bench
DHCP Anvil hands a device plugged into one wired (often USB) network card an
address on a private subnet, on that card only. It shows what the device asked
for and what it got, names the maker of its hardware, watches whether it is
still there, and keeps a lease table and a log.
.
The package holds the command-line tool dhcpanvil, the desktop application
DHCPAnvilApp and a small helper, the only program that is granted
capabilities: to serve on ports 67 and 69 of a card, and to watch that card's
cable for ARP, LLDP and TFTP frames of devices that never ask for an address.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
