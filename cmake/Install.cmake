# What `cmake --install` puts under the prefix: the library (libvocetta.so.MAJOR with the
# libvocetta.so link that hosts open), the C header, the host SDK and its headers, the live
# mouth's C library, the CMake package Vocetta (Vocetta::headers, Vocetta::sdk, Vocetta::voice),
# the pkg-config module vocetta, and with the tool its default profile, built-in rigs, man pages
# and bash completion. The testing library never ships. Each rule names its component (library,
# voice, development, tool, python: the Debian packages below).
include(CMakePackageConfigHelpers)

set(VOCETTA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vocetta)
set(VOCETTA_PROFILE_DIR ${CMAKE_INSTALL_DATADIR}/vocetta/profiles)

install(TARGETS vocetta LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/libvocetta0.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME libvocetta0
        COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/include/vocetta/vocetta.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vocetta COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/include/vocetta
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h")
install(TARGETS vocetta_headers vocetta_host EXPORT VocettaTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The C interface's library ships with a game that uses it, beside libvocetta; its link for the
# linker is a development file.
install(TARGETS vocetta_voice EXPORT VocettaTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT voice NAMELINK_COMPONENT development)
install(EXPORT VocettaTargets NAMESPACE Vocetta:: DESTINATION ${VOCETTA_CMAKE_DIR}
        COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VocettaConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VocettaConfig.cmake INSTALL_DESTINATION ${VOCETTA_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_LIBDIR VOCETTA_PROFILE_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VocettaConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VocettaConfig.cmake
              ${PROJECT_BINARY_DIR}/VocettaConfigVersion.cmake
        DESTINATION ${VOCETTA_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix from where it lies, so `cmake --install --prefix` may move it.
file(RELATIVE_PATH VOCETTA_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VOCETTA_PC_TO_PREFIX "${VOCETTA_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vocetta.pc.in ${PROJECT_BINARY_DIR}/vocetta.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vocetta.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

if(VOCETTA_BUILD_TOOL)
  install(TARGETS vocetta_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/profiles/default.json DESTINATION ${VOCETTA_PROFILE_DIR}
          COMPONENT development)
  # The built-in rigs, for a rig file of one's own to start from (--rig takes either).
  install(FILES ${PROJECT_SOURCE_DIR}/rigs/arkit.json ${PROJECT_SOURCE_DIR}/rigs/vrm.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/vocetta/rigs COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vocetta/completion.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vocetta
          COMPONENT tool)
  # Man pages from the tool's own --help, one for vocetta and one per subcommand.
  find_program(VOCETTA_HELP2MAN help2man)
  find_program(VOCETTA_GZIP gzip)
  if(VOCETTA_HELP2MAN AND VOCETTA_GZIP)
    set(VOCETTA_MAN_DIR ${PROJECT_BINARY_DIR}/man)
    add_custom_command(OUTPUT ${VOCETTA_MAN_DIR}/vocetta.1.gz
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:vocetta_tool> -DOUTPUT=${VOCETTA_MAN_DIR}
              -DVERSION=${PROJECT_VERSION} -DHELP2MAN=${VOCETTA_HELP2MAN} -DGZIP=${VOCETTA_GZIP}
              -P ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
      DEPENDS vocetta_tool ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
      COMMENT "Writing the man pages" VERBATIM)
    add_custom_target(vocetta_man_pages ALL DEPENDS ${VOCETTA_MAN_DIR}/vocetta.1.gz)
    install(DIRECTORY ${VOCETTA_MAN_DIR}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT tool FILES_MATCHING PATTERN "*.1.gz")
  else()
    message(STATUS "help2man or gzip not found: no man pages (scripts/install-deps.sh installs them)")
  endif()
endif()

# Packages of this install tree (`cmake --build build --target package`): a relocatable archive
# of all of it, to vendor or unpack anywhere (the CMake package, the .pc file, the tool and the
# Python package find the rest from where they lie), and Debian packages for /usr, one per
# component, so that a game's runtime takes the library alone. Their dependencies on other
# packages are found by dpkg-shlibdeps; those on each other are of the same version. Each
# package's description gives its own summary line.
set(CPACK_PACKAGE_NAME vocetta)
set(CPACK_PACKAGE_VENDOR Vocetta)
set(CPACK_PACKAGE_CONTACT "Vocetta developers")
set(CPACK_PACKAGE_FILE_NAME vocetta-${PROJECT_VERSION}-linux-x86_64)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR TGZ)
find_program(VOCETTA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VOCETTA_DPKG_SHLIBDEPS)
  list(APPEND CPACK_GENERATOR DEB)
else()
  message(STATUS "no dpkg-shlibdeps: no Debian packages (scripts/install-deps.sh installs dpkg-dev)")
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libvocetta0)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# A shlibs file, so that packages built against it depend on it (on this version or later of
# the same soname), and the ldconfig trigger that Debian's own library packages carry. CPack
# still writes maintainer scripts that call ldconfig as well; the trigger makes them redundant,
# not wrong.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
    "Real-time lip sync for games: the library
libvocetta turns each block of captured speech into phoneme scores and a
volume, fast enough to run every audio frame, with SSE2 and AVX2 builds chosen
at load. This is what a game ships.")
set(CPACK_DEBIAN_VOICE_PACKAGE_NAME libvocetta-voice0)
set(CPACK_DEBIAN_VOICE_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_VOICE_DEPENDS library)
set(CPACK_DEBIAN_VOICE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_VOICE_DESCRIPTION
    "Real-time lip sync for games: the C interface of the live mouth
libvocetta_voice gives a talking character's live mouth (noise cleaning,
analysis, smoothed labels, mouth shapes, weights and jaw) to every language
and engine that calls C. A game that uses it ships it beside libvocetta.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvocetta-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library voice)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "Real-time lip sync for games: C headers, C++ host SDK and C# host
The C header, the static C++ host SDK (loading, tracked allocation, profiles,
streaming analysis, noise cleaning, smoothing, mouth shapes and cue files) with
its CMake package and pkg-config file, the live mouth's C header, the default
profile, and the C# host sources for Unity, Godot and Mono.")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vocetta)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_TOOL_DEPENDS library)
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS espeak-ng)  # turns a line's words into phones (--text)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "Real-time lip sync for games: the vocetta tool
Phoneme timelines, mouth cues and blendshape curves from recordings, aligned
to the line's words when they are known, profile calibration and speaker adaptation, evaluation, textures and HTML previews.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vocetta)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_COMPONENT_PYTHON_DEPENDS library tool)  # calibrate runs the tool
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS ${VOCETTA_PYTHON_DEB_DEPENDS})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS blender)  # its add-on keys faces from recordings
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Real-time lip sync for games: the Python package
The vocetta package: analysis, labels, mouth cues and curves of recordings and
live streams, with numpy arrays in and out; and a Blender add-on that keys a
face's shape keys from a recording.")
include(CPack)

# The packages as a user receives them. Made from the plain build only: the sanitized one is
# instrumented.
if(VOCETTA_BUILD_TESTS AND VOCETTA_BUILD_TOOL AND NOT VOCETTA_SANITIZE)
  set(VOCETTA_PACKAGE_PYTHON)
  if(TARGET vocetta_python)
    set(VOCETTA_PACKAGE_PYTHON -DPYTHON=${VOCETTA_PYTHON}
        -DPYTHON_CHECK=${PROJECT_SOURCE_DIR}/bindings/python/tests/installed_check.py
        -DSAMPLE=${PROJECT_SOURCE_DIR}/samples/sample.flac)
  endif()
  add_test(NAME package_and_consume
           COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR}
                   -DSOURCE=${PROJECT_SOURCE_DIR}/tests/install
                   -DWORK=${PROJECT_BINARY_DIR}/tests/package-test -DVERSION=${PROJECT_VERSION}
                   -DGENERATOR=${CMAKE_GENERATOR} -DCXX=${CMAKE_CXX_COMPILER}
                   -DCC=${CMAKE_C_COMPILER} ${VOCETTA_PACKAGE_PYTHON}
                   -P ${PROJECT_SOURCE_DIR}/tests/install/RunPackageTest.cmake)
endif()
