# Fails when libvocetta imports anything but SLEEF or depends on anything but libsleef.
#   cmake -DLIBRARY=path -DSLEEF_MODE=shared|static -P CheckLibrary.cmake
execute_process(COMMAND nm -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE imports
                COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" imports "${imports}")
set(unexpected)
foreach(line IN LISTS imports)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(SLEEF_MODE STREQUAL "static" OR NOT line MATCHES "^U Sleef_[A-Za-z0-9_]+$")
    list(APPEND unexpected "${line}")
  endif()
endforeach()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  if(SLEEF_MODE STREQUAL "static" OR NOT entry STREQUAL "Shared library: [libsleef.so.3]")
    list(APPEND unexpected "NEEDED ${entry}")
  endif()
endforeach()

if(unexpected)
  list(JOIN unexpected "\n  " report)
  message(FATAL_ERROR "${LIBRARY} must import only SLEEF (${SLEEF_MODE} mode), but has:\n  ${report}")
endif()
