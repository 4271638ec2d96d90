# Sourced by the scripts that go over the released programs: the rows of
# cmake/platforms.txt (toolchain file, build folder, Debian architecture),
# comments left out. The scripts run from the project's folder.
platforms() { grep -v '^#' cmake/platforms.txt; }
