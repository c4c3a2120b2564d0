# Runs launcher_patch_urls on URLS (separated by commas here) and KEY, given
# with -D, and prints what it sets: cmake -DURLS=... -DKEY=... -P patch-urls.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/LauncherConfig.cmake)
string(REPLACE "," ";" urls "${URLS}")
launcher_patch_urls("${urls}" "${KEY}")
message("${LAUNCHER_PATCH_SECURE} ${LAUNCHER_PATCH_AUTHORITY} ${LAUNCHER_PATCH_BASE_PATH} mirrors ${LAUNCHER_PATCH_MIRRORS}")
