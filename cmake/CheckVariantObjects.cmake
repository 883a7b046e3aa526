# Fails when a kernel object defines a weak (mergeable) symbol outside its build's namespace:
# the linker could then keep the AVX2 copy of an inline function for the SSE2 build.
#   cmake -DOBJECTS=a.o;b.o -DNAMESPACE=x64_sse2 -P CheckVariantObjects.cmake
set(offenders)
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND nm -C --defined-only ${object} OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" symbols "${symbols}")
  foreach(line IN LISTS symbols)
    if(line MATCHES "^[0-9a-f]+ [WVu] (.*)$")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "Vocetta::${NAMESPACE}::")
        list(APPEND offenders "${object}: ${name}")
      endif()
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " report)
  message(FATAL_ERROR "weak symbols outside Vocetta::${NAMESPACE}:\n  ${report}")
endif()
