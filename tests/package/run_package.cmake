# SPDX-License-Identifier: Apache-2.0
file(REMOVE_RECURSE ${WORK_DIR})
set(debs ${WORK_DIR}/debs)
set(root ${WORK_DIR}/root)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${debs})
foreach(package libquorvex1 libquorvex-dev quorvex-tools python3-quorvex)
  file(GLOB deb ${debs}/${package}_*.deb)
  if(NOT deb)
    message(FATAL_ERROR "no ${package} package was made")
  endif()
  run(${DPKG_DEB} -x ${deb} ${root})
  run(${DPKG_DEB} -f ${deb} Depends)
  set(depends_${package} "${last_output}")
  list(APPEND all_debs ${deb})
endforeach()

# Dependencies come from the binaries, not from a hand-kept list (Debian 13
# renamed libraries for 64-bit time: libwebsockets19t64, libuv1t64).
if(NOT depends_libquorvex1 MATCHES "libwebsockets[0-9]+(t64)? \\(>=" OR NOT depends_libquorvex1 MATCHES "libjsoncpp"
   OR NOT depends_libquorvex1 MATCHES "libwebsockets-evlib-uv" OR NOT depends_libquorvex1 MATCHES "libuv1")
  message(FATAL_ERROR "libquorvex1 depends on: ${depends_libquorvex1}")
endif()
if(NOT depends_quorvex-tools MATCHES "libsndfile1 \\(>=" OR NOT depends_quorvex-tools MATCHES "libsoxr")
  message(FATAL_ERROR "quorvex-tools depends on: ${depends_quorvex-tools}")
endif()
if(NOT depends_libquorvex-dev MATCHES "libquorvex1 \\(= ")
  message(FATAL_ERROR "libquorvex-dev depends on: ${depends_libquorvex-dev}")
endif()
if(NOT depends_python3-quorvex MATCHES "libquorvex1 \\(>= " OR NOT depends_python3-quorvex MATCHES "python3")
  message(FATAL_ERROR "python3-quorvex depends on: ${depends_python3-quorvex}")
endif()

# lintian: warnings are reported, errors fail.
execute_process(COMMAND ${LINTIAN} --no-tag-display-limit ${all_debs} OUTPUT_VARIABLE remarks ERROR_VARIABLE ignored)
message(STATUS "lintian:\n${remarks}")
if(remarks MATCHES "(^|\n)E: ")
  message(FATAL_ERROR "lintian found errors")
endif()

# What each package is for: the library builds and runs from the unpacked tree,
# the tool runs, the unit is where systemd looks.
run(${CMAKE_COMMAND} -DPREFIX=${root}/usr -DCONSUMER_DIR=${CONSUMER_DIR} -DWORK_DIR=${WORK_DIR}/consumer
  -P ${CONSUMER_SCRIPT})
run(${root}/usr/bin/quorvex-transcribe --version)
if(NOT last_output MATCHES "^quorvex-transcribe [0-9.]+ \\(libquorvex v")
  message(FATAL_ERROR "quorvex-transcribe --version printed: ${last_output}")
endif()
# The Python package imports from where Debian's python3 looks and loads the
# unpacked library (installed, it finds it by its soname).
file(GLOB unpacked_library ${root}/usr/lib/libquorvex.so.1 ${root}/usr/lib/*/libquorvex.so.1)
run(${CMAKE_COMMAND} -E env PYTHONPATH=${root}/usr/lib/python3/dist-packages QUORVEX_LIBRARY=${unpacked_library}
  ${PYTHON} -c "print(__import__('quorvex').version())")
if(NOT last_output MATCHES "^v[0-9.]+")
  message(FATAL_ERROR "the packaged Python module printed: ${last_output}")
endif()
if(NOT EXISTS ${root}/usr/lib/systemd/system/quorvex-server.service)
  message(FATAL_ERROR "quorvex-tools lacks the systemd unit")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
