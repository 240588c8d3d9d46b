# Checks what a Windows DLL imports from one other DLL: exactly the names of that DLL's module
# definition, undecorated (the names the vendor's DLL exports).
# cmake -DOBJDUMP=<the toolchain's objdump> -DLIB=<dll> -DFROM=<imported dll> -DDEF=<def>
#       -P check_dll_imports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/symbol_checks.cmake)
vrx_lines_of(lines ${OBJDUMP} -p ${LIB})
# objdump lists every imported DLL as "DLL Name: x.dll", a column header, then one
# "<vma> <hint> <name>" line per function, and a blank line.
set(in_dll FALSE)
set(found FALSE)
set(imported "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    string(STRIP "${CMAKE_MATCH_1}" name)
    string(TOLOWER "${name}" name)
    string(TOLOWER "${FROM}" from)
    if(name STREQUAL from)
      set(in_dll TRUE)
      set(found TRUE)
    else()
      set(in_dll FALSE)
    endif()
  elseif(in_dll AND line MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([^ \t]+)[ \t]*$")
    list(APPEND imported "${CMAKE_MATCH_1}")
  elseif(in_dll AND line MATCHES "^[ \t]*$")
    set(in_dll FALSE)
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "${LIB} imports nothing from ${FROM}")
endif()
vrx_def_names(expected ${DEF} "^  [A-Za-z]")
list(SORT imported)
if(NOT imported STREQUAL expected)
  message(FATAL_ERROR "imports from ${FROM} differ from ${DEF}:\n"
                      "  imported: ${imported}\n  expected: ${expected}")
endif()
list(LENGTH imported count)
message(STATUS "${count} functions imported from ${FROM} by their plain names, exactly the module definition's")
