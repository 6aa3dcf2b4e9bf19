# SPDX-License-Identifier: Apache-2.0
# quorvex-transcribe is an application of the library like any other: its
# sources include the public headers, their own files and the embedded
# server's interface, never a header of src/ nor the rest of the server's
# folder. cmake -DSOURCE_DIR=<repository> -P include_boundary.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../support/include_check.cmake)
file(GLOB sources ${SOURCE_DIR}/tools/transcribe/*.cpp ${SOURCE_DIR}/tools/transcribe/*.h)
set(checked 0)
set(offending "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*$" "\\1" name "${line}")
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"")
      # Quoted: a file beside it, or the server's one header for embedders.
      if(name STREQUAL "server/embedded_server.h")
        continue()
      endif()
      if(name MATCHES "/" OR NOT EXISTS ${SOURCE_DIR}/tools/transcribe/${name})
        list(APPEND offending "${source}: ${line}")
      endif()
    elseif(EXISTS ${SOURCE_DIR}/src/${name} OR EXISTS ${SOURCE_DIR}/tools/${name}
           OR NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*<")
      list(APPEND offending "${source}: ${line}")
    endif()
  endforeach()
endforeach()
report_include_check(${checked} offending "the tool" ${SOURCE_DIR}/tools/transcribe
                     "the tool reaches past the public interface")
