# Makes the vrx5200(1) manual page with help2man: the tool's --help and --version, a section with
# every subcommand's --help, and the exit status.
# cmake -DTOOL=<vrx5200> -DHELP2MAN=<help2man> -DOUTPUT=<vrx5200.1> -P man.cmake
cmake_minimum_required(VERSION 3.25)

# The subcommands, as the tool lists them for completion (its words that are not options).
function(subcommands_of result)
  execute_process(COMMAND ${TOOL} __complete ${ARGN} OUTPUT_VARIABLE words RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} __complete ${ARGN} failed")
  endif()
  string(REPLACE "\n" ";" words "${words}")
  list(FILTER words EXCLUDE REGEX "^-|^$")
  set(${result} ${words} PARENT_SCOPE)
endfunction()

# Text as roff shows it verbatim: backslashes escaped, no line taken for a request.
function(roff_verbatim result text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

set(include "[SUBCOMMANDS]\n")
subcommands_of(top)
foreach(sub IN LISTS top)
  set(paths "${sub}")
  subcommands_of(nested ${sub})
  foreach(n IN LISTS nested)
    list(APPEND paths "${sub} ${n}")
  endforeach()
  foreach(path IN LISTS paths)
    separate_arguments(args UNIX_COMMAND "${path}")
    execute_process(COMMAND ${TOOL} ${args} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${TOOL} ${path} --help failed")
    endif()
    roff_verbatim(help "${help}")
    string(APPEND include ".SS \"vrx5200 ${path}\"\n.nf\n${help}.fi\n")
  endforeach()
endforeach()
string(APPEND include "[EXIT STATUS]\n"
  ".TP\n.B 0\nsuccess\n"
  ".TP\n.B 1\nthe board or the control library failed (the message names the result code)\n"
  ".TP\n.B 2\nthe command line is wrong (unknown option, bad value, missing argument)\n"
  ".TP\n.B 3\na file could not be read or written (the message names it)\n")
file(WRITE ${OUTPUT}.h2m "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --name "control the VRX5200 ADC/DAC evaluation board from a shell"
          --include ${OUTPUT}.h2m --output ${OUTPUT} ${TOOL}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
# The examples one a line, as --help shows them (help2man fills them into one paragraph).
file(READ ${OUTPUT} page)
string(REGEX REPLACE "(\n\\.SH EXAMPLES\n)\\.IP\n([^.][^\n]*\n)+" "\\0.fi\n" page "${page}")
string(REPLACE ".SH EXAMPLES\n.IP\n" ".SH EXAMPLES\n.nf\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
