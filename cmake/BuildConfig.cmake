# The build-time constants of the program, gathered into one generated header.

set(STUB_VERSION "1.1.0" CACHE STRING "The setup program's own version (1 to 4 numeric components)")
set(PUBLISHER_WEB_HOST "www.brindlewick.example" CACHE STRING "Host of the publisher's web and update server")
set(PUBLISHER_WEB_DOMAIN "brindlewick.example" CACHE STRING "Web domain named to users in repair hints")
set(PUBLISHER_HOME_PAGE "https://www.brindlewick.example/" CACHE STRING "Home page shown in the list of installed programs")

set(PACKAGE_SIZE_CAP "4294967296" CACHE STRING
    "The most a package download may bring when its manifest does not give its size, in bytes")
if(NOT PACKAGE_SIZE_CAP MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
  message(FATAL_ERROR "PACKAGE_SIZE_CAP must be a whole number of bytes, at most 18 digits")
endif()

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

# Blanks around the commas of a list are dropped, so that "a, b" is taken as "a,b".
function(bw_comma_list out value)
  string(STRIP "${value}" value)
  string(REGEX REPLACE "[ \t]*,[ \t]*" "," value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# The public keys that verify latest.json, one or several (while the publisher moves to a
# new key, see docs/publishing.md). Without one, a development key pair is made in the build
# folder by the release tool (its private half never leaves that folder).
set(MANIFEST_KEY_HEX "" CACHE STRING
    "Public keys that verify latest.json, comma-separated: 130 lowercase hex characters each (04, X, Y); empty for a development key")
set(BW_DEV_KEY ${CMAKE_BINARY_DIR}/dev-key/manifest-key.pem)
# Debian's interpreter first: the one first on PATH may not see Debian's packages.
find_program(BW_HOST_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(BW_HOST_PYTHON NAMES python3)
if(MANIFEST_KEY_HEX STREQUAL "")
  if(NOT BW_HOST_PYTHON)
    message(FATAL_ERROR "python3 with the cryptography package is needed to make a development key")
  endif()
  if(EXISTS ${BW_DEV_KEY})
    set(_key_command pubkey)
  else()
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dev-key)
    set(_key_command keygen)
  endif()
  execute_process(COMMAND ${BW_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tools/release.py ${_key_command} ${BW_DEV_KEY}
                  OUTPUT_VARIABLE BW_MANIFEST_KEY_HEX ERROR_VARIABLE _key_error
                  RESULT_VARIABLE _key_result OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _key_result EQUAL 0)
    message(FATAL_ERROR "could not make the development key ${BW_DEV_KEY}: ${_key_error}")
  endif()
  message(STATUS "MANIFEST_KEY_HEX not given: this build trusts the DEVELOPMENT key "
                 "${BW_DEV_KEY}. A publisher builds with -DMANIFEST_KEY_HEX=<public key>.")
else()
  bw_comma_list(BW_MANIFEST_KEY_HEX "${MANIFEST_KEY_HEX}")
endif()
string(REPEAT "[0-9a-f]" 128 _coordinates)
if(NOT BW_MANIFEST_KEY_HEX MATCHES "^04${_coordinates}(,04${_coordinates})*$")
  message(FATAL_ERROR "MANIFEST_KEY_HEX must be one or more public keys separated by commas, "
                      "each 130 lowercase hexadecimal characters: the 65 bytes of an "
                      "uncompressed P-256 point, 04 then X and Y (release.py pubkey prints "
                      "it). Got '${MANIFEST_KEY_HEX}'.")
endif()

# The publisher's code-signing certificates, each named by the SHA-256 of its DER encoding
# or of its public key (SubjectPublicKeyInfo, DER), comma-separated: set, every program
# file of a release must carry an Authenticode signature by one of them; empty, none is
# checked.
set(PUBLISHER_CERT_SHA256 "" CACHE STRING
    "SHA-256 digests of the publisher's code-signing certificates (DER) or of their public keys, comma-separated, 64 lowercase hex characters each; empty for no signature check")
bw_comma_list(BW_PUBLISHER_CERT_SHA256 "${PUBLISHER_CERT_SHA256}")
string(REPEAT "[0-9a-f]" 64 _digest)
if(NOT BW_PUBLISHER_CERT_SHA256 MATCHES "^(${_digest}(,${_digest})*)?$")
  message(FATAL_ERROR "PUBLISHER_CERT_SHA256 must be empty or one or more digests separated "
                      "by commas, each 64 lowercase hexadecimal characters: the SHA-256 of a "
                      "code-signing certificate in DER form, or of its public key "
                      "(release.py pack and signatures print both). "
                      "Got '${PUBLISHER_CERT_SHA256}'.")
endif()

set(BW_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/src/build_config.h.in ${BW_GENERATED_DIR}/build_config.h @ONLY)
