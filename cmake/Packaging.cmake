# SPDX-License-Identifier: Apache-2.0
# The Debian package (cpack --preset deb, or scripts/build-deb.sh): everything
# `cmake --install` puts under /usr, except the test tools.
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "The Quorvel developers")
set(CPACK_PACKAGE_CONTACT "The Quorvel developers <maintainers@quorvel.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "uploads microcontroller firmware through a USB HID bootloader")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvel finds a USB HID bootloader, reads its information record, turns an Intel HEX file\n\
into a flash image for PIC16, PIC18, PIC24, dsPIC, PIC32 or ARM Cortex-M (Stellaris, Tiva C,\n\
STM32), moves the reset entry so the bootloader keeps control, then erases, writes and\n\
restarts the chip. It has a window (quorvel) and a command line for scripts and production\n\
lines (quorvel-cli), and can run against a built-in simulated bootloader.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Depends from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
