# cmake -DHEADERS="a.h|b.h" -P RequireFileComment.cmake: fails unless every
# header has a \file comment. Doxygen passes over the free functions,
# globals and macros of a header without one in silence, so without this
# check an undocumented global would not fail the reference.
string(REPLACE "|" ";" headers "${HEADERS}")
set(missing "")
foreach(header IN LISTS headers)
  file(READ "${header}" text)
  if(NOT text MATCHES "(///|\\*) \\\\file")
    string(APPEND missing "\n  ${header}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "public headers without a \\file comment:${missing}")
endif()
