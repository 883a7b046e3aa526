# SLEEF for libvocetta. Defines the INTERFACE target vocetta_sleef and VOCETTA_SLEEF_MODE.
#
#   shared (default): Debian's libsleef.so.3, the library's one NEEDED entry and its only imports.
#   static (-DVOCETTA_SLEEF_SOURCE_DIR=<SLEEF source tree>): SLEEF's libm alone is built from that
#     tree as a position-independent archive with one section per function and linked in, so that
#     libvocetta.so imports nothing; only what the kernels call survives --gc-sections, and
#     --exclude-libs keeps every SLEEF symbol hidden. Works with SLEEF 3.5 and 3.6+ trees.
set(VOCETTA_SLEEF_SOURCE_DIR "" CACHE PATH
    "SLEEF source tree to build and link in statically; empty links Debian's libsleef.so.3")

# Another build directory of this tree, in the other mode: the library checks then compare export
# sets with it, and the suite compares every entry's results with it bit for bit.
set(VOCETTA_REFERENCE_BUILD "" CACHE PATH
    "Build directory of this tree in the other SLEEF mode, to compare exports and results with")

add_library(vocetta_sleef INTERFACE)

# Debian's library is found in both modes: host-side code (tests) may use it as a reference.
find_library(VOCETTA_SLEEF_LIBRARY NAMES libsleef.so.3 sleef REQUIRED)
if(VOCETTA_SLEEF_SOURCE_DIR STREQUAL "")
  target_link_libraries(vocetta_sleef INTERFACE ${VOCETTA_SLEEF_LIBRARY})
  set(VOCETTA_SLEEF_MODE shared)
  return()
endif()

get_filename_component(VOCETTA_SLEEF_SOURCE_DIR "${VOCETTA_SLEEF_SOURCE_DIR}" ABSOLUTE)
if(NOT EXISTS "${VOCETTA_SLEEF_SOURCE_DIR}/src/libm/CMakeLists.txt")
  message(FATAL_ERROR "VOCETTA_SLEEF_SOURCE_DIR=${VOCETTA_SLEEF_SOURCE_DIR} is not a SLEEF source tree")
endif()
set(VOCETTA_SLEEF_MODE static)

include(ExternalProject)
set(sleef_binary_dir ${PROJECT_BINARY_DIR}/sleef)
set(sleef_archive ${sleef_binary_dir}/lib/${CMAKE_STATIC_LIBRARY_PREFIX}sleef${CMAKE_STATIC_LIBRARY_SUFFIX})
# Stack protection off as in the library's own code: its failure handler would be an import.
set(sleef_c_flags "-ffunction-sections -fdata-sections -fno-stack-protector")
set(sleef_options
    # Every release: the compiler, and a static, position-independent archive.
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
    -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
    -DCMAKE_C_FLAGS=${sleef_c_flags}
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DSLEEF_SHOW_CONFIG=OFF
    # SLEEF 3.5 spellings.
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_LIBM=ON
    -DBUILD_DFT=OFF
    -DBUILD_QUAD=OFF
    -DBUILD_GNUABI_LIBS=OFF
    -DBUILD_TESTS=OFF
    -DBUILD_INLINE_HEADERS=OFF
    -DENABLE_LTO=OFF
    # SLEEF 3.6 and later; TLFloat off so that configuring downloads nothing.
    -DSLEEF_BUILD_SHARED_LIBS=OFF
    -DSLEEF_BUILD_LIBM=ON
    -DSLEEF_BUILD_DFT=OFF
    -DSLEEF_BUILD_QUAD=OFF
    -DSLEEF_BUILD_GNUABI_LIBS=OFF
    -DSLEEF_BUILD_SCALAR_LIB=OFF
    -DSLEEF_BUILD_TESTS=OFF
    -DSLEEF_BUILD_BENCH=OFF
    -DSLEEF_BUILD_INLINE_HEADERS=OFF
    -DSLEEF_ENABLE_LTO=OFF
    -DSLEEF_ENABLE_TLFLOAT=OFF
    -DSLEEF_ENABLE_TESTER4=OFF
    -DSLEEF_DISABLE_FFTW=ON
    -DSLEEF_DISABLE_MPFR=ON
    -DSLEEF_DISABLE_SSL=ON)
# Each release ignores the other's spellings; say so once instead of warning on every configure.
list(APPEND sleef_options --no-warn-unused-cli)

ExternalProject_Add(vocetta_sleef_build
  SOURCE_DIR ${VOCETTA_SLEEF_SOURCE_DIR}
  BINARY_DIR ${sleef_binary_dir}
  PREFIX ${PROJECT_BINARY_DIR}/sleef-prefix
  CMAKE_ARGS ${sleef_options}
  # The library alone: SLEEF's generators are built on the way, nothing else.
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target sleef --parallel 2
  BUILD_BYPRODUCTS ${sleef_archive}
  INSTALL_COMMAND ""
  TEST_COMMAND ""
  UPDATE_COMMAND ""
  DOWNLOAD_COMMAND ""
  USES_TERMINAL_BUILD ON)

# SLEEF keeps its sine and cosine reduction table hidden as Sleef_rempitabsp; the library exports
# it under the name rempitabsp. The table's object, with that second name added, is linked as a
# plain object ahead of the archive, so --exclude-libs leaves the name exported.
set(sleef_table_object ${sleef_binary_dir}/vocetta/rempitabsp.o)
ExternalProject_Add_Step(vocetta_sleef_build export_table
  COMMAND ${CMAKE_COMMAND} -DARCHIVE=${sleef_archive} -DOUTPUT=${sleef_table_object}
          -DAR=${CMAKE_AR} -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF} -DOBJCOPY=${CMAKE_OBJCOPY}
          -P ${CMAKE_CURRENT_LIST_DIR}/SleefExportTable.cmake
  DEPENDEES build
  DEPENDERS install
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/SleefExportTable.cmake
  BYPRODUCTS ${sleef_table_object})

add_library(vocetta_sleef_archive STATIC IMPORTED GLOBAL)
set_target_properties(vocetta_sleef_archive PROPERTIES IMPORTED_LOCATION ${sleef_archive})
add_dependencies(vocetta_sleef_archive vocetta_sleef_build)
add_dependencies(vocetta_sleef vocetta_sleef_build)
target_link_libraries(vocetta_sleef INTERFACE ${sleef_table_object} vocetta_sleef_archive)
set_property(TARGET vocetta_sleef APPEND PROPERTY INTERFACE_LINK_DEPENDS
             ${sleef_table_object} ${sleef_archive})
