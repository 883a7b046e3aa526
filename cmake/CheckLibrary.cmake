# Fails when libvocetta's dynamic surface is not what its SLEEF mode allows.
#   cmake -DLIBRARY=path -DSLEEF_MODE=shared|static "-DOBJECTS=a.o;b.o;..." [-DREFERENCE=path]
#         -P CheckLibrary.cmake
#
# shared: imports only Sleef_* functions and depends on libsleef.so.3 alone.
# static: imports nothing and depends on nothing.
# Both: exports exactly the default-visibility definitions of the library's own OBJECTS, plus
# rempitabsp (SLEEF's reduction table) when SLEEF is linked in. With REFERENCE (the same library
# from a build in the other mode), the two export sets differ by rempitabsp alone.
set(unexpected)

execute_process(COMMAND nm -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE imports
                COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" imports "${imports}")
foreach(line IN LISTS imports)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(SLEEF_MODE STREQUAL "static" OR NOT line MATCHES "^U Sleef_[A-Za-z0-9_]+$")
    list(APPEND unexpected "import ${line}")
  endif()
endforeach()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  if(SLEEF_MODE STREQUAL "static" OR NOT entry STREQUAL "Shared library: [libsleef.so.3]")
    list(APPEND unexpected "NEEDED ${entry}")
  endif()
endforeach()

# Names defined and exported by a shared object. Names may contain dots and colons, never
# spaces.
function(exported_names library result)
  execute_process(COMMAND nm -D --defined-only --format=posix ${library} OUTPUT_VARIABLE listing
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^ \n]+ [A-Za-z] [0-9a-f]+" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE " .*" "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
  list(SORT names)
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

# Names that the objects define globally with default visibility: what the link must export.
function(object_exports objects result)
  set(names)
  foreach(object IN LISTS objects)
    execute_process(COMMAND readelf -sW ${object} OUTPUT_VARIABLE symbols
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "[0-9]+: [0-9a-f]+ +[0-9a-fx]+ [A-Z_]+ +(GLOBAL|WEAK) +DEFAULT +[0-9]+ [^\n]+"
           definitions "${symbols}")
    foreach(definition IN LISTS definitions)
      string(REGEX REPLACE ".* " "" name "${definition}")
      list(APPEND names "${name}")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

# Reports the names of `actual` missing from `expected` and those of `expected` missing from
# `actual`, each prefixed with `what`.
function(compare_names actual expected what)
  set(extra ${actual})
  set(missing ${expected})
  if(expected)
    list(REMOVE_ITEM extra ${expected})
  endif()
  if(actual)
    list(REMOVE_ITEM missing ${actual})
  endif()
  set(found ${unexpected})
  foreach(name IN LISTS extra)
    list(APPEND found "export ${name} (${what})")
  endforeach()
  foreach(name IN LISTS missing)
    list(APPEND found "no export ${name} (${what})")
  endforeach()
  set(unexpected "${found}" PARENT_SCOPE)
endfunction()

exported_names(${LIBRARY} exports)
if(DEFINED OBJECTS)
  object_exports("${OBJECTS}" expected)
  if(SLEEF_MODE STREQUAL "static")
    list(APPEND expected rempitabsp)
  endif()
  compare_names("${exports}" "${expected}" "the library's objects")
endif()

if(DEFINED REFERENCE AND NOT REFERENCE STREQUAL "")
  if(NOT EXISTS ${REFERENCE})
    message(FATAL_ERROR "no reference library ${REFERENCE}: build it first")
  endif()
  exported_names(${REFERENCE} reference)
  list(REMOVE_ITEM reference rempitabsp)
  if(SLEEF_MODE STREQUAL "static")
    list(APPEND reference rempitabsp)
  endif()
  compare_names("${exports}" "${reference}" "${REFERENCE}")
endif()

if(unexpected)
  list(JOIN unexpected "\n  " report)
  message(FATAL_ERROR "${LIBRARY} (SLEEF ${SLEEF_MODE}) has:\n  ${report}")
endif()
