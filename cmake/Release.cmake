# The release archive, made with CPack from a built tree:
#   cpack --config <build folder>/CPackConfig.cmake
# It holds the program, the README, and SHA256SUMS in sha256sum's format:
# the SHA-256 of the program and of the image built into it (whose file is
# not in the archive), so that whoever receives it checks the program with
# `sha256sum -c --ignore-missing SHA256SUMS` and can tell which device
# software it installs. The install rules exist for this archive, hence the
# flat layout. ./make-release.sh makes every platform's archive.
install(TARGETS trelvane-update RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)
get_filename_component(image_name "${TRELVANE_IMAGE}" NAME)
install(CODE "
  set(program \"$<TARGET_FILE_NAME:trelvane-update>\")
  set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(SHA256 \"\${dir}/\${program}\" sum)
  file(SHA256 \"${TRELVANE_IMAGE}\" image_sum)
  file(WRITE \"\${dir}/SHA256SUMS\" \"\${sum}  \${program}\\n\${image_sum}  ${image_name}\\n\")
")

# The platform as the archive names it: win32, win64, linux-x86_64,
# linux-aarch64, linux-armhf.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  math(EXPR bits "8 * ${CMAKE_SIZEOF_VOID_P}")
  set(system win${bits})
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
include(CPack)
