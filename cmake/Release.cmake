# The release archive, made with CPack from a built tree:
#   cpack --config <build folder>/CPackConfig.cmake
# It holds the program, the README, on Linux the manual page, the program's
# third-party notices (below), and SHA256SUMS
# in sha256sum's format: the SHA-256 of the program and of the image built
# into it (whose file is not in the archive), so that whoever receives it
# checks the program with `sha256sum -c --ignore-missing SHA256SUMS` and can
# tell which device software it installs. A Windows program is signed first
# when the environment names a key (cmake/Sign.cmake), so SHA256SUMS lists
# the signed program. These install rules (component "archive") exist for the
# archive, hence the flat layout; the released Linux builds also make a
# Debian package of component "deb" (cmake/Debian.cmake). ./make-release.sh
# makes every platform's archive and package.
# The manual page names the updater's version, the software this build
# carries and its size; its other figures, the example devices' versions
# among them, are examples of no particular software. Its date is
# SOURCE_DATE_EPOCH's when that is set, which string(TIMESTAMP) follows, so
# that the same commit gives the same page.
string(TIMESTAMP TRELVANE_PAGE_DATE "%Y-%m-%d" UTC)
file(SIZE "${TRELVANE_IMAGE}" TRELVANE_IMAGE_LENGTH)
set(TRELVANE_MANPAGE "${CMAKE_BINARY_DIR}/trelvane-update.1")
configure_file(doc/trelvane-update.1.in "${TRELVANE_MANPAGE}" @ONLY)
install(TARGETS trelvane-update RUNTIME DESTINATION . COMPONENT archive)
install(FILES README.md DESTINATION . COMPONENT archive)
if(NOT WIN32)
  install(FILES "${TRELVANE_MANPAGE}" DESTINATION . COMPONENT archive)
endif()
get_filename_component(image_name "${TRELVANE_IMAGE}" NAME)
set(sign)
if(WIN32)
  set(sign "include(\"${CMAKE_SOURCE_DIR}/cmake/Sign.cmake\")
  trelvane_sign_program(\"\${dir}/\${program}\")")
endif()
install(CODE "
  set(program \"$<TARGET_FILE_NAME:trelvane-update>\")
  set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  ${sign}
  file(SHA256 \"\${dir}/\${program}\" sum)
  file(SHA256 \"${TRELVANE_IMAGE}\" image_sum)
  file(WRITE \"\${dir}/SHA256SUMS\" \"\${sum}  \${program}\\n\${image_sum}  ${image_name}\\n\")
" COMPONENT archive)

# The platform as the archive names it: win32, win64, linux-x86_64,
# linux-aarch64, linux-armhf.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(system ${TRELVANE_WIN})
else()
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" system)
endif()
set(CPACK_PACKAGE_NAME trelvane-update)
set(CPACK_PACKAGE_VENDOR Trelvane)
# Kept apart from CPACK_PACKAGE_FILE_NAME, which include(CPack) leaves set to
# the source archive's name.
set(TRELVANE_ARCHIVE "trelvane-update-${PROJECT_VERSION}-sw${TRELVANE_SOFTWARE_VERSION}-${system}")
set(CPACK_PACKAGE_FILE_NAME "${TRELVANE_ARCHIVE}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
# Each generator installs its own component only (cmake/CPackComponent.cmake).
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/CPackComponent.cmake")

# The programs released: the Windows ones and the static Linux ones of the
# toolchain files. Each links with a map file, from which tools/release/notices.py
# writes on every link the third-party notices of what the program really
# holds (THIRD-PARTY-NOTICES.txt, in the archive and the Debian package),
# the Debian package's copyright file (Linux), and the record of those
# libraries (third-party.json) that tools/release/spdx.py puts in the release's bill
# of materials; the build's facts (cmake/Facts.cmake) name each file.
set(TRELVANE_RELEASED OFF)
if(WIN32 OR TRELVANE_STATIC)
  set(TRELVANE_RELEASED ON)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(TRELVANE_MAP "${CMAKE_BINARY_DIR}/trelvane-update.map")
  set(TRELVANE_NOTICES "${CMAKE_BINARY_DIR}/THIRD-PARTY-NOTICES.txt")
  set(TRELVANE_DEB_COPYRIGHT)
  set(deb_copyright)
  if(TRELVANE_STATIC)
    set(TRELVANE_DEB_COPYRIGHT "${CMAKE_BINARY_DIR}/copyright")
    set(deb_copyright --copyright "${CMAKE_SOURCE_DIR}/doc/copyright"
                      --deb-copyright "${TRELVANE_DEB_COPYRIGHT}")
  endif()
  set(TRELVANE_LIBRARIES "${CMAKE_BINARY_DIR}/third-party.json")
  target_link_options(trelvane-update PRIVATE "-Wl,-Map=${TRELVANE_MAP}")
  # After every link, so that the program never goes without its notices;
  # a change of the tool or of the project's copyright links again.
  add_custom_command(TARGET trelvane-update POST_BUILD
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/release/notices.py"
            --map "${TRELVANE_MAP}" --build "${CMAKE_BINARY_DIR}"
            --program "$<TARGET_FILE_NAME:trelvane-update>" --notices "${TRELVANE_NOTICES}"
            --record "${TRELVANE_LIBRARIES}" ${deb_copyright}
    COMMENT "Third-party notices of trelvane-update")
  set_property(TARGET trelvane-update APPEND PROPERTY LINK_DEPENDS
               "${CMAKE_SOURCE_DIR}/tools/release/notices.py" "${CMAKE_SOURCE_DIR}/doc/copyright")
  install(FILES "${TRELVANE_NOTICES}" DESTINATION . COMPONENT archive)
endif()
if(TRELVANE_STATIC)
  include(cmake/Debian.cmake)
endif()
include(CPack)
