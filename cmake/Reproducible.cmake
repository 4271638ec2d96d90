# A release a firmware team can check: the same commit and image give the same
# program, byte for byte, whichever folder it is built in and whenever.
#
# No folder name in the objects: __FILE__ and debug information name sources
# relative to the source and the build folder. The build folder's map comes
# last so that it wins for a build folder inside the source tree.
add_compile_options(
  $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>
  $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
if(WIN32)
  # The PE header's link time would differ on every build.
  add_link_options(-Wl,--no-insert-timestamp)
endif()
