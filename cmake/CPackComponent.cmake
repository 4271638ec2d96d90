# CPack reads this for each generator (CPACK_PROJECT_CONFIG_FILE): the
# Debian package installs component "deb" (cmake/Debian.cmake), the
# archives component "archive" (cmake/Release.cmake), each as one package.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(component deb)
else()
  set(component archive)
endif()
string(REPLACE ";ALL;" ";${component};" CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_INSTALL_CMAKE_PROJECTS}")
