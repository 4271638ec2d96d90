# The Debian package of a released Linux program (component "deb"), made by
# CPack's DEB generator beside the archive: the static program as
# /usr/bin/trelvane-update, its manual page, and the README, the third-party
# notices and the copyright (doc/copyright with those notices, made beside
# the notices: cmake/Release.cmake) in /usr/share/doc/trelvane-update/. It depends on nothing, as the program is
# linked statically. Its version carries the software it installs, so that a
# new image is a new package version: 0.78+sw1.73.
set(doc share/doc/trelvane-update)
install(TARGETS trelvane-update RUNTIME DESTINATION bin COMPONENT deb)
install(FILES README.md "${TRELVANE_NOTICES}" "${TRELVANE_DEB_COPYRIGHT}" DESTINATION ${doc}
        COMPONENT deb)
install(FILES doc/lintian-overrides DESTINATION share/lintian/overrides RENAME trelvane-update
        COMPONENT deb)

# Debian ships manual pages compressed with gzip -9n: no name nor time in the
# header, so the same page gives the same bytes.
set(manpage_gz "${CMAKE_BINARY_DIR}/trelvane-update.1.gz")
execute_process(COMMAND gzip -9n -c "${TRELVANE_MANPAGE}" OUTPUT_FILE "${manpage_gz}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress ${TRELVANE_MANPAGE}")
endif()
install(FILES "${manpage_gz}" DESTINATION share/man/man1 COMPONENT deb)

# The Debian architecture cmake/platforms.txt gives the toolchain file.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${TRELVANE_DEB_ARCH}")
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  message(FATAL_ERROR "No Debian architecture in cmake/platforms.txt for the toolchain file "
          "'${CMAKE_TOOLCHAIN_FILE}'")
endif()

# A vendor names itself: -DTRELVANE_MAINTAINER="Name <address>".
set(TRELVANE_MAINTAINER "Trelvane <support@trelvane.example>" CACHE STRING
    "The Debian package's maintainer: name <address>")
list(APPEND CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_NAME trelvane-update)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}+sw${TRELVANE_SOFTWARE_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(TRELVANE_DEB
    "${CPACK_DEBIAN_PACKAGE_NAME}_${CPACK_DEBIAN_PACKAGE_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TRELVANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "installs Trelvane software v${TRELVANE_SOFTWARE_VERSION} on a Trelvane device
The Trelvane Software Updater installs the device software it carries,
version ${TRELVANE_SOFTWARE_VERSION}, on a Trelvane device connected to a serial port
(a USB serial adapter or a built-in port), at 115,200 baud.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
