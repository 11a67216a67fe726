# Cross-compiles the Windows ARM64 build with Zig's clang (aarch64-windows-gnu: mingw-w64 runtime,
# libc++, libunwind, all linked statically) through the wrappers beside this file, and LLVM's own
# resource compiler and archiver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER   ${CMAKE_CURRENT_LIST_DIR}/zig/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/zig-c++)
# llvm-windres takes windres's command line; without the target its objects are x64.
set(CMAKE_RC_COMPILER  llvm-windres-14)
set(CMAKE_RC_FLAGS "--target=aarch64-w64-mingw32" CACHE STRING "" FORCE)
set(CMAKE_AR     /usr/bin/llvm-ar-14 CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14 CACHE FILEPATH "" FORCE)
# zig's runtime has no -municode start files: this one calls wWinMain.
set(TWR_WWINMAIN_START ${CMAKE_CURRENT_LIST_DIR}/zig/wwinmain_start.c)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
