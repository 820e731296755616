# Cross build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686-posix);
# tests run under 32-bit Wine (wine32). See docs/guide/windows.md.
set(KL_MINGW_TRIPLET i686-w64-mingw32)
set(KL_MINGW_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
