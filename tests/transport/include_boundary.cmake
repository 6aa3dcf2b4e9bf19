# SPDX-License-Identifier: Apache-2.0
# Outside src/transport, the library and the tools reach the transport only
# through the wrapper's headers and its one control header.
# cmake -DSOURCE_DIR=<repository> -P include_boundary.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../support/include_check.cmake)
set(public wss_client.h wss_config.h wss_conn.h wss_context.h wss_limits.h wss_route.h transport_control.h)
file(GLOB_RECURSE sources
  ${SOURCE_DIR}/src/sdk/*.cpp ${SOURCE_DIR}/src/sdk/*.h ${SOURCE_DIR}/src/client/*.cpp ${SOURCE_DIR}/src/client/*.h
  ${SOURCE_DIR}/src/capi/*.cpp ${SOURCE_DIR}/src/capi/*.h ${SOURCE_DIR}/src/protocol/*.cpp ${SOURCE_DIR}/src/protocol/*.h
  ${SOURCE_DIR}/src/framework/*.cpp ${SOURCE_DIR}/src/framework/*.h ${SOURCE_DIR}/src/platform/*.cpp
  ${SOURCE_DIR}/src/platform/*.h ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h)
set(checked 0)
set(offending "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*transport/")
  foreach(line IN LISTS lines)
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"(\\.\\./)*transport/([^\"]*)\".*$" "\\2" name "${line}")
    if(NOT name IN_LIST public)
      list(APPEND offending "${source}: ${line}")
    endif()
  endforeach()
endforeach()
report_include_check(${checked} offending "the transport" ${SOURCE_DIR} "past the transport's public headers")
