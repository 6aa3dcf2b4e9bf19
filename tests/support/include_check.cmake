# SPDX-License-Identifier: Apache-2.0
# The verdict of an include-boundary script: too few includes seen means the
# script looked in the wrong folder, any offending one fails it.
function(report_include_check checked offending_var subject folder complaint)
  if(checked LESS 20)
    message(FATAL_ERROR "only ${checked} includes of ${subject} found under ${folder}: wrong folder?")
  endif()
  if(${offending_var})
    list(JOIN ${offending_var} "\n  " shown)
    message(FATAL_ERROR "${complaint}:\n  ${shown}")
  endif()
  message(STATUS "${checked} includes of ${subject} checked")
endfunction()
