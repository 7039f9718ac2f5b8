# DLLs that only some of the program's paths need are loaded when first called rather
# than at start-up: every start of the application goes through the stub, and its road
# to the application needs none of them.
function(bw_delay_load target)
  if(MSVC)
    foreach(dll IN LISTS ARGN)
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
    endforeach()
    target_link_libraries(${target} PRIVATE delayimp)
    return()
  endif()
  find_program(BW_NM NAMES ${MINGW_TRIPLE}-nm nm REQUIRED)
  find_program(BW_DLLTOOL NAMES ${MINGW_TRIPLE}-dlltool dlltool REQUIRED)
  set(libraries)
  foreach(dll IN LISTS ARGN)
    set(out ${CMAKE_BINARY_DIR}/delay-load/lib${dll}-delay.a)
    # Made once, whichever folder's target asks first; later ones share it.
    if(NOT TARGET bw_delay_${dll})
      find_library(BW_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
      add_custom_command(
        OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay-load
        COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.sh ${BW_NM} ${BW_DLLTOOL}
                ${BW_IMPORT_LIB_${dll}} ${out}
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.sh
        VERBATIM)
      add_custom_target(bw_delay_${dll} DEPENDS ${out})
    endif()
    add_dependencies(${target} bw_delay_${dll})
    list(APPEND libraries ${out})
  endforeach()
  # Linked after the target's own libraries and ahead of the plain import libraries they
  # bring, so that these are the ones used.
  target_link_libraries(${target} PRIVATE ${libraries} delayimp)
endfunction()
