# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix);
# tests run under Wine. See docs/guide/windows.md.
set(KL_MINGW_TRIPLET x86_64-w64-mingw32)
set(KL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
