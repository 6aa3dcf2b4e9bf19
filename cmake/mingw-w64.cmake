# SPDX-License-Identifier: Apache-2.0
# Cross-builds for 64-bit Windows with Debian's MinGW-w64 GCC. The -posix
# compilers, because std::thread and std::mutex need winpthread; the -win32
# ones lack them. Used both for quorvex (preset "windows") and by
# scripts/windows-deps.sh for the dependencies, whose prefix is
# QUORVEX_MINGW_PREFIX (cache or environment).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEX_MINGW_TRIPLET}-windres)

if(NOT QUORVEX_MINGW_PREFIX AND DEFINED ENV{QUORVEX_MINGW_PREFIX})
  set(QUORVEX_MINGW_PREFIX "$ENV{QUORVEX_MINGW_PREFIX}")
endif()
set(QUORVEX_MINGW_PREFIX "${QUORVEX_MINGW_PREFIX}" CACHE PATH "Prefix of the cross-built dependencies")
# try_compile projects see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEX_MINGW_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_MINGW_TRIPLET} ${QUORVEX_MINGW_PREFIX})
# Build-time programs are the machine's; libraries and headers only the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
