# SPDX-License-Identifier: Apache-2.0
# Debian packages with CPack's DEB generator (scripts/package.sh builds them):
#   libquorvex1     the shared library                    (component "runtime")
#   libquorvex-dev  headers, CMake package, quorvex.pc    (component "dev")
#   quorvex-tools   quorvex-server, quorvex-transcribe,   (component "tools")
#                   the systemd unit, the HAProxy example
#   python3-quorvex the Python package (python/quorvex)   (component "python")
# Dependencies on other libraries are computed from the binaries (dpkg-shlibdeps).

# A project that embeds quorvex makes its own packages.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(QUORVEX_PACKAGE_MAINTAINER "quorvex maintainers <maintainers@quorvex.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")
set(QUORVEX_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

# The changelog's newest entry names the version being packaged; lintian checks it.
set(debian_dir ${PROJECT_SOURCE_DIR}/deploy/debian)
file(STRINGS ${debian_dir}/changelog newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^quorvex \\(${PROJECT_VERSION}-${QUORVEX_PACKAGE_RELEASE}\\) ")
  message(WARNING "deploy/debian/changelog does not start with version ${PROJECT_VERSION}-${QUORVEX_PACKAGE_RELEASE}")
endif()

# ---- what goes where -------------------------------------------------------------
set(packages runtime:libquorvex1 dev:libquorvex-dev)
if(TARGET quorvex-server AND TARGET quorvex-transcribe)
  list(APPEND packages tools:quorvex-tools)
  install(TARGETS quorvex-server quorvex-transcribe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/systemd/quorvex-server.service
    DESTINATION lib/systemd/system COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/haproxy/quorvex.cfg
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvex-tools/examples/haproxy COMPONENT tools)
  # Manual pages, compressed as Debian policy 12.1 asks.
  foreach(page quorvex-server.1 quorvex-transcribe.1)
    set(page_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.gz)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/deploy/man/${page} OUTPUT_FILE ${page_gz}
      RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip could not compress deploy/man/${page}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/deploy/man/${page})
    install(FILES ${page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endforeach()
endif()

# Pure Python over the library's C interface: nothing built, the same for every architecture.
list(APPEND packages python:python3-quorvex)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quorvex DESTINATION lib/python3/dist-packages COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# Every package carries the copyright and a compressed changelog (Debian policy 12.5, 12.7).
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9 -n -c ${debian_dir}/changelog OUTPUT_FILE ${changelog_gz} RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip could not compress deploy/debian/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${debian_dir}/changelog)
foreach(component_package IN LISTS packages)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${debian_dir}/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  # These packages are not uploaded to Debian's archive, so no ITP bug is closed.
  set(overrides "# Not an upload to the Debian archive: there is no ITP bug to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
  if(component STREQUAL "runtime")
    list(APPEND overrides "# The trigger runs ldconfig, these scripts only keep CPack from adding calls to it.\n"
      "${package}: maintainer-script-empty [postinst]\n" "${package}: maintainer-script-empty [postrm]\n")
  endif()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/overrides/${package} ${overrides})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/overrides/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endforeach()

# ---- the packages ------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUORVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUORVEX_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE quorvex)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(version_release "${PROJECT_VERSION}-${QUORVEX_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# libwebsockets loads its libuv plugin at run time, out of sight of shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libwebsockets-evlib-uv")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs once per dpkg run, from the trigger; scripts of our own keep
# CPack from adding postinst/postrm calls to it as well.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian_dir}/triggers ${debian_dir}/postinst ${debian_dir}/postrm)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "streaming speech-recognition client library
quorvex streams 16 kHz, 16-bit mono PCM to a recognition server over a
WebSocket and delivers the session result, recognised texts, errors and the
stop result to a listener on one shared event-loop thread.
.
This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libquorvex1 (= ${version_release})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "streaming speech-recognition client library - development files
quorvex streams 16 kHz, 16-bit mono PCM to a recognition server over a
WebSocket and delivers the session result, recognised texts, errors and the
stop result to a listener on one shared event-loop thread.
.
This package contains the headers, the CMake package (find_package(quorvex))
and the pkg-config file (quorvex.pc).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
# The server's default engine and the tool's embedded server load this model.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "pocketsphinx-en-us")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "haproxy, alsa-utils")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "reference speech-recognition server and transcription tool
quorvex-server is a recognition server for the quorvex protocol (pocketsphinx
or an echo engine for tests) with /healthz and /metrics, shipped with a
hardened systemd unit and an example HAProxy configuration for running
several instances. quorvex-transcribe streams audio files of any common format,
or live PCM from standard input, to a server and prints what it heard.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# The same release's library: the package calls the C interface of this version.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, libquorvex1 (>= ${version_release})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-numpy")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "streaming speech-recognition client library - Python 3 package
quorvex streams 16 kHz, 16-bit mono PCM to a recognition server over a
WebSocket. This package is its Python interface (import quorvex): blocking and
asyncio sessions, transcribe() for whole recordings and python3 -m quorvex,
in pure Python over the C interface of libquorvex1. The library's event-loop
threads never call into Python, so a busy interpreter holds up no session.")

include(CPack)
