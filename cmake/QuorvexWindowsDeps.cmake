# SPDX-License-Identifier: Apache-2.0
# The dependencies on Windows: static libraries cross-built from Debian's
# sources by scripts/windows-deps.sh into QUORVEX_MINGW_PREFIX (see
# cmake/mingw-w64.cmake). They are linked into quorvex.dll, so an application
# ships one file and cannot pick up another OpenSSL or libuv by accident.
# The targets carry the names the pkg-config ones have on Linux, so the rest
# of the build links them alike.
if(NOT QUORVEX_MINGW_PREFIX OR NOT EXISTS "${QUORVEX_MINGW_PREFIX}/include/libwebsockets.h")
  message(FATAL_ERROR "QUORVEX_MINGW_PREFIX (${QUORVEX_MINGW_PREFIX}) holds no cross-built dependencies: "
    "run scripts/windows-deps.sh")
endif()

# Windows 10 APIs; printf formats as C99 says (%zu, %lld), not as msvcrt.dll does.
add_compile_definitions(_WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX __USE_MINGW_ANSI_STDIO=1)

set(OPENSSL_ROOT_DIR "${QUORVEX_MINGW_PREFIX}")
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto SSL)
find_package(jsoncpp CONFIG REQUIRED)
if(NOT TARGET JsonCpp::JsonCpp)
  add_library(JsonCpp::JsonCpp INTERFACE IMPORTED)
  target_link_libraries(JsonCpp::JsonCpp INTERFACE jsoncpp_static)
endif()

# What the static archives need from Windows itself.
set(quorvex_windows_libs ws2_32 iphlpapi userenv psapi dbghelp bcrypt crypt32 advapi32 user32 gdi32 ole32 shell32)

function(quorvex_static_dependency target library)
  find_library(${target}_LIBRARY NAMES ${library} PATHS "${QUORVEX_MINGW_PREFIX}/lib" NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_library(PkgConfig::${target} INTERFACE IMPORTED)
  target_include_directories(PkgConfig::${target} INTERFACE "${QUORVEX_MINGW_PREFIX}/include")
  target_link_libraries(PkgConfig::${target} INTERFACE "${${target}_LIBRARY}" ${ARGN} ${quorvex_windows_libs})
endfunction()

quorvex_static_dependency(LIBUV libuv_a.a)
quorvex_static_dependency(CARES "libcares.a;libcares_static.a")
target_compile_definitions(PkgConfig::CARES INTERFACE CARES_STATICLIB)
quorvex_static_dependency(LWS "libwebsockets_static.a;libwebsockets.a" PkgConfig::LIBUV OpenSSL::SSL OpenSSL::Crypto)
