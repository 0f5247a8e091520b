# Cross build for Windows with Debian's mingw-w64 tool chain whose target
# triple the including tool chain file has set as MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX thread model: std::thread and its locks (winpthreads, linked
# in statically with the rest).
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
# C only for SQLite (see cmake/sqlite-windows.cmake), with the same run-time.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
