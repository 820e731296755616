# Shared part of the MinGW-w64 cross toolchains. The including file sets
# KL_MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32) first.
#
# KL_WINDOWS_DEPS is the prefix holding GoogleTest and PCRE2 built for the same
# target (scripts/windows-deps.sh makes it); it defaults to
# build/windows-deps/<triplet> in the source tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KL_MINGW_PROCESSOR})

# The posix flavour of the compiler: std::thread and std::mutex come with it.
set(CMAKE_C_COMPILER ${KL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KL_MINGW_TRIPLET}-windres)

if(NOT KL_WINDOWS_DEPS)
  if(DEFINED ENV{KL_WINDOWS_DEPS})
    set(KL_WINDOWS_DEPS "$ENV{KL_WINDOWS_DEPS}")
  else()
    get_filename_component(KL_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/${KL_MINGW_TRIPLET}" ABSOLUTE)
  endif()
endif()
set(KL_WINDOWS_DEPS "${KL_WINDOWS_DEPS}" CACHE PATH "Prefix of the dependencies built for the Windows target")
# try_compile projects read this file again and need the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KL_WINDOWS_DEPS KL_MINGW_TRIPLET)

set(CMAKE_FIND_ROOT_PATH /usr/${KL_MINGW_TRIPLET} ${KL_WINDOWS_DEPS})
set(CMAKE_PREFIX_PATH ${KL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the target's prefix, never at the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${KL_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs run through Wine: headless, quiet, in a private prefix under
# the build folder, finding the compiler's runtime DLLs and the library's own
# DLL (at the top of the build folder) on WINEPATH.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE kl_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(kl_runtime_dir "${kl_libstdcxx}" DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--arch=${KL_MINGW_PROCESSOR};${CMAKE_BINARY_DIR}/wineprefix;${kl_runtime_dir};/usr/${KL_MINGW_TRIPLET}/lib;${CMAKE_BINARY_DIR}")
