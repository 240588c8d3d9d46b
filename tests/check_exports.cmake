# Checks the dynamic symbol table of a shared library: every exported function is a
# VRX5200BrdCtrl_ function (or a VRXSim_ function of the bench), and every name of the module
# definition is exported.
cmake_policy(SET CMP0057 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/symbol_checks.cmake)
vrx_defined_names(exported ${LIB} "^(VRX5200BrdCtrl_|VRXSim_)")
vrx_def_names(def_lines ${DEF} "^  VRX5200BrdCtrl_")
foreach(name IN LISTS def_lines)
  if(NOT name IN_LIST exported)
    message(FATAL_ERROR "export missing: ${name}")
  endif()
endforeach()
list(LENGTH def_lines count)
message(STATUS "${count} exports present, nothing else exported")
