# The builds every kernel is compiled in, read from VOCETTA_BUILDS in the public header so that
# one list drives the library, the SDK, the tests and this build:
#   VOCETTA_BUILDS                 the names, baseline first (x64_sse2;avx2)
#   VOCETTA_BUILD_FLAGS_<name>     the compiler flags of the build's extensions (-mavx2 ...)
file(READ ${PROJECT_SOURCE_DIR}/include/vocetta/vocetta.h VOCETTA_HEADER)
string(REGEX MATCHALL "\n *X\\([a-z][a-z0-9_]*, [A-Z][A-Za-z0-9]*, [0-9]+, [0-9]+, \"[a-z0-9. ]*\"\\)"
       VOCETTA_BUILD_LINES "${VOCETTA_HEADER}")
set(VOCETTA_BUILDS)
foreach(line IN LISTS VOCETTA_BUILD_LINES)
  string(REGEX MATCH "X\\(([a-z0-9_]+), [A-Za-z0-9]+, [0-9]+, [0-9]+, \"([a-z0-9. ]*)\"\\)"
         matched "${line}")
  set(name ${CMAKE_MATCH_1})
  separate_arguments(extensions UNIX_COMMAND "${CMAKE_MATCH_2}")
  list(TRANSFORM extensions PREPEND -m)
  list(APPEND VOCETTA_BUILDS ${name})
  set(VOCETTA_BUILD_FLAGS_${name} ${extensions})
endforeach()
list(LENGTH VOCETTA_BUILDS VOCETTA_BUILD_COUNT)
if(VOCETTA_BUILD_COUNT LESS 2 OR NOT EXISTS ${PROJECT_SOURCE_DIR}/src/frame/builds/${name}.h)
  message(FATAL_ERROR "cannot read VOCETTA_BUILDS from include/vocetta/vocetta.h")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/include/vocetta/vocetta.h)
