# The version for the test harness, which reads it from the build folder.
file(WRITE "${CMAKE_BINARY_DIR}/trelvane-version.txt" "${PROJECT_VERSION}\n")

# The release archive, made with CPack from a built tree:
#   cpack --config <build folder>/CPackConfig.cmake
# It holds the program, the README, and the program's SHA-256 in sha256sum's
# format, so that whoever receives it can check the program with
# `sha256sum -c trelvane-update.exe.sha256`. The install rules exist for this
# archive, hence the flat layout.
install(TARGETS trelvane-update RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)
install(CODE [[
  set(program "$<TARGET_FILE_NAME:trelvane-update>")
  set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(SHA256 "${dir}/${program}" sum)
  file(WRITE "${dir}/${program}.sha256" "${sum}  ${program}\n")
]])

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(system win64)
else()
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" system)
endif()
set(CPACK_PACKAGE_NAME trelvane-update)
set(CPACK_PACKAGE_VENDOR Trelvane)
# Kept apart from CPACK_PACKAGE_FILE_NAME, which include(CPack) leaves set to
# the source archive's name.
set(TRELVANE_ARCHIVE "trelvane-update-${PROJECT_VERSION}-${system}")
set(CPACK_PACKAGE_FILE_NAME "${TRELVANE_ARCHIVE}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
include(CPack)
