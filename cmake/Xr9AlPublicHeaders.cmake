# xr9al_install_headers(FILES ... DESTINATION ... [COMPONENT ...]) installs
# headers for hosts, as install(FILES) does, and records them as the public
# headers: the API reference covers exactly these.
function(xr9al_install_headers)
  cmake_parse_arguments(arg "" "DESTINATION;COMPONENT" "FILES" ${ARGN})
  install(${ARGN})
  foreach(file IN LISTS arg_FILES)
    get_filename_component(path "${file}" ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY XR9AL_PUBLIC_HEADERS "${path}")
  endforeach()
endfunction()
