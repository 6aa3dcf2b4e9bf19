# SPDX-License-Identifier: Apache-2.0
# Builds and runs the consumer against an installed tree: the build tree
# installed into WORK_DIR/prefix, or the tree at PREFIX when one is given.
file(REMOVE_RECURSE ${WORK_DIR})
if(DEFINED PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

if(NOT DEFINED PREFIX)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)
if(NOT last_output MATCHES "quorvex v1.0.0")
  message(FATAL_ERROR "consumer printed: ${last_output}")
endif()

# Through pkg-config.
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pc_dirs}")
execute_process(COMMAND pkg-config --cflags --libs quorvex OUTPUT_VARIABLE flags RESULT_VARIABLE rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know quorvex")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags} -o ${WORK_DIR}/pc-consumer)
string(REGEX MATCH "-L([^ ;]+)" _ "${flags}")
set(ENV{LD_LIBRARY_PATH} "${CMAKE_MATCH_1}")
run(${WORK_DIR}/pc-consumer)
if(NOT last_output MATCHES "quorvex v1.0.0")
  message(FATAL_ERROR "pkg-config consumer printed: ${last_output}")
endif()
