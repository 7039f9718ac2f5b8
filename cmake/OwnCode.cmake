# Settings shared by every target of our own (not third-party code).

# Product code is built without exceptions: none may cross a function of ours.
# Test programs pass TESTS, since GoogleTest's headers expect exceptions enabled.
function(bw_own_code target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TESTS" "" "")
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                               _WIN32_WINNT=0x0A00)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
    if(NOT arg_TESTS)
      target_compile_options(${target} PRIVATE /EHs-c-)
      target_compile_definitions(${target} PRIVATE _HAS_EXCEPTIONS=0)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion -Werror
                                             -ffunction-sections -fdata-sections)
    if(NOT arg_TESTS)
      target_compile_options(${target} PRIVATE -fno-exceptions)
    endif()
  endif()
endfunction()

# A Windows program that runs with nothing beside it: no MinGW runtime DLLs.
function(bw_gui_program target)
  if(NOT MSVC)
    target_link_options(${target} PRIVATE -municode -static -Wl,--gc-sections
                                          $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
endfunction()

# WIDE_MAIN: the program's entry point is wmain.
function(bw_console_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WIDE_MAIN" "" "")
  if(NOT MSVC)
    target_link_options(${target} PRIVATE -static $<$<BOOL:${arg_WIDE_MAIN}>:-municode>)
  endif()
endfunction()
