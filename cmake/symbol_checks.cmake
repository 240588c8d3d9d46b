# Helpers of the scripts that check a library's symbol, export or import tables.

# Runs a command and returns its output as a list of lines in `out`; fails the check when the
# command fails.
function(vrx_lines_of out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# The names a shared library defines (nm -D), each checked against `allowed` (a regex).
function(vrx_defined_names out lib allowed)
  vrx_lines_of(lines nm -D --defined-only ${lib})
  set(names "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "${allowed}")
        message(FATAL_ERROR "unexpected exported symbol: ${name}")
      endif()
      list(APPEND names "${name}")
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# The names a module definition (.def) lists whose lines match `regex`, sorted.
function(vrx_def_names out def regex)
  file(STRINGS ${def} def_lines REGEX "${regex}")
  set(names "")
  foreach(line IN LISTS def_lines)
    string(STRIP "${line}" name)
    list(APPEND names "${name}")
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
