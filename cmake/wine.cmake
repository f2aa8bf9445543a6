# The Windows build run under Wine: wraps the toolchain's emulator (wine)
# in cmake/wine-run.sh, which gives this build folder its own Wine prefix,
# made once, so that every test run after the first starts in well under a
# second.
set(WINE_PROGRAM ${CMAKE_CROSSCOMPILING_EMULATOR})
set(LINKSNAP_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
