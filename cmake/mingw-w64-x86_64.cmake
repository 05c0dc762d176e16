# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# so std::thread is available). Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One self-contained exe: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run in a Wine prefix of the build folder's own: a fresh build
# folder is a fresh prefix, and no other build or user shares its server.
set(PELBROOK_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(CMAKE_CROSSCOMPILING_EMULATOR env "WINEPREFIX=${PELBROOK_WINE_PREFIX}"
    "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run")
