# Run by `cmake --install` for each program: keeps its debug information apart, then strips the
# installed copy. Expects built, installed, debug_info, apple, objcopy, strip and dsymutil.
file(MAKE_DIRECTORY "${debug_info}")
get_filename_component(name "${installed}" NAME)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
endfunction()

if(apple)
  # The symbols live in a .dSYM bundle made from the linked program, before it loses them.
  if(NOT dsymutil)
    set(dsymutil dsymutil)
  endif()
  run(${dsymutil} "${built}" -o "${debug_info}/${name}.dSYM")
  run(${strip} -S -x "${installed}")
else()
  run(${objcopy} --only-keep-debug "${installed}" "${debug_info}/${name}.debug")
  run(${strip} --strip-debug --strip-unneeded "${installed}")
  # The stripped program names its debug file, so a debugger finds it when pointed at the folder.
  run(${objcopy} "--add-gnu-debuglink=${debug_info}/${name}.debug" "${installed}")
endif()
message(STATUS "Stripped: ${installed} (debug information in ${debug_info})")
