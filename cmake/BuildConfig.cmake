# The build-time constants of the program, gathered into one generated header.

set(STUB_VERSION "1.1.0" CACHE STRING "The setup program's own version (1 to 4 numeric components)")
set(PUBLISHER_WEB_HOST "www.brindlewick.example" CACHE STRING "Host of the publisher's web and update server")
set(PUBLISHER_WEB_DOMAIN "brindlewick.example" CACHE STRING "Web domain named to users in repair hints")
set(PUBLISHER_HOME_PAGE "https://www.brindlewick.example/" CACHE STRING "Home page shown in the list of installed programs")

if(NOT STUB_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "STUB_VERSION '${STUB_VERSION}' must be 1 to 4 numeric components separated by full stops")
endif()
foreach(name PUBLISHER_WEB_HOST PUBLISHER_WEB_DOMAIN PUBLISHER_HOME_PAGE)
  if("${${name}}" STREQUAL "" OR "${${name}}" MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${name} must be non-empty and hold no quotation mark or backslash")
  endif()
endforeach()

# The version resource wants four numbers; missing components are 0.
string(REPLACE "." ";" _stub_parts "${STUB_VERSION}")
list(LENGTH _stub_parts _stub_count)
while(_stub_count LESS 4)
  list(APPEND _stub_parts 0)
  math(EXPR _stub_count "${_stub_count} + 1")
endwhile()
foreach(_part IN LISTS _stub_parts)
  if(_part GREATER 65535)
    message(FATAL_ERROR "STUB_VERSION components must not exceed 65535 (version resource limit)")
  endif()
endforeach()
string(REPLACE ";" "," STUB_VERSION_COMMAS "${_stub_parts}")

set(BW_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/src/build_config.h.in ${BW_GENERATED_DIR}/build_config.h @ONLY)
