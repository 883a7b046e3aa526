# Makes the packages as `cmake --build build --target package` does, then takes each as a user
# receives it: the archive unpacked in a scratch folder, and the Debian packages' fields, their
# file lists and their trees extracted together in another. Each tree must hold the whole install
# and serve the consumers from where it lies.
#   cmake -DBUILD=dir -DSOURCE=dir -DWORK=dir -DVERSION=x.y.z -DGENERATOR=... -DCXX=... -DCC=...
#         [-DFLAGS=...] [-DPYTHON=python3 -DPYTHON_CHECK=file -DSAMPLE=file] -P RunPackageTest.cmake
file(REMOVE_RECURSE ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/RunCommand.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/CheckInstallTree.cmake)

set(packages ${WORK}/packages)
run(${CMAKE_CPACK_COMMAND} --config ${BUILD}/CPackConfig.cmake -B ${packages})

set(archive ${packages}/vocetta-${VERSION}-linux-x86_64.tar.gz)
expect("EXISTS;${archive}" "no archive ${archive}")
file(MAKE_DIRECTORY ${WORK}/archive)
run(tar -xzf ${archive} -C ${WORK}/archive)
check_install_tree(${WORK}/archive/vocetta-${VERSION}-linux-x86_64 ${WORK}/archive-use)

find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT DPKG_SHLIBDEPS)
  message(STATUS "no dpkg-shlibdeps: no Debian package to check")
  file(REMOVE_RECURSE ${WORK})
  return()
endif()
# Each component its package: what it holds, what it needs; all of them extracted together are
# the whole install again.
set(owned)
function(check_deb name section contents)  # ARGN: packages it must depend on
  set(deb ${packages}/${name}_${VERSION}_amd64.deb)
  expect("EXISTS;${deb}" "no Debian package ${deb}")
  foreach(field Package Version Architecture Section Depends)
    run(dpkg-deb --field ${deb} ${field})
    string(STRIP "${out}" ${field})
  endforeach()
  expect("Package;STREQUAL;name" "${deb} is the package '${Package}'")
  expect("Version;STREQUAL;VERSION" "${name}'s version is '${Version}', not ${VERSION}")
  expect("Architecture;STREQUAL;amd64" "${name} is for '${Architecture}'")
  expect("Section;STREQUAL;section" "${name} is in the section '${Section}'")
  foreach(dependency IN LISTS ARGN)
    expect("Depends;MATCHES;(^|, )${dependency}( |,|$)"
           "${name} does not depend on ${dependency}: ${Depends}")
  endforeach()
  set(Depends "${Depends}" PARENT_SCOPE)
  run(dpkg-deb --contents ${deb})
  string(REGEX REPLACE "\n$" "" listing "${out}")
  string(REPLACE "\n" ";" listing "${listing}")
  set(files)
  foreach(line IN LISTS listing)
    expect("line;MATCHES;^[-dl]r[^ ]* root/root .* \\./(usr/.*)?$"
           "${name} holds a file outside /usr or not owned by root: ${line}")
    if(line MATCHES "^[-l].* \\./(usr/[^ ]*)")
      list(APPEND files ${CMAKE_MATCH_1})
    endif()
  endforeach()
  foreach(file IN LISTS files)
    if(file STREQUAL "usr/share/lintian/overrides/${name}")
      continue()  # a package's notes to lintian are its own wherever they lie
    endif()
    if(file MATCHES "${contents}")
      message(FATAL_ERROR "${name} holds ${file}, which is not its own")
    endif()
    list(FIND owned ${file} other)
    expect("other;EQUAL;-1" "${file} is in two packages")
  endforeach()
  list(APPEND owned ${files})
  set(owned "${owned}" PARENT_SCOPE)
  run(dpkg-deb -x ${deb} ${WORK}/deb)
endfunction()
# `contents` matches what a package must not hold.
check_deb(libvocetta0 libs "^usr/(bin|include|share)/|\\.a$|/python|/cmake/|/pkgconfig/|_voice"
          libsleef3)
if(Depends MATCHES "libsndfile|libstdc|libpng")
  message(FATAL_ERROR "the library alone needs more than SLEEF and the C library: ${Depends}")
endif()
# Packages built against it depend on it through its shlibs, and ldconfig runs when it lands.
run(dpkg-deb --info ${packages}/libvocetta0_${VERSION}_amd64.deb shlibs)
expect("out;MATCHES;^libvocetta 0 libvocetta0 \\(>= ${VERSION}\\)"
       "libvocetta0's shlibs: ${out}")
run(dpkg-deb --info ${packages}/libvocetta0_${VERSION}_amd64.deb triggers)
expect("out;MATCHES;activate-noawait ldconfig" "libvocetta0's triggers: ${out}")
# The live mouth's C library: what a game that calls it ships, with the library.
check_deb(libvocetta-voice0 libs
          "^usr/(bin|include|share)/|\\.a$|/python|/cmake/|/pkgconfig/|/libvocetta\\.so|_voice\\.so$"
          "libvocetta0 \\(= ${VERSION}\\)" libstdc\\+\\+6)
run(dpkg-deb --info ${packages}/libvocetta-voice0_${VERSION}_amd64.deb shlibs)
expect("out;MATCHES;^libvocetta_voice 0 libvocetta-voice0 \\(>= ${VERSION}\\)"
       "libvocetta-voice0's shlibs: ${out}")
# The development files: headers, the static SDK, the C interface's link for the linker.
check_deb(libvocetta-dev libdevel "^usr/bin/|\\.so\\.|/libvocetta\\.so$|/python|/man/|bash-completion"
          "libvocetta0 \\(= ${VERSION}\\)" "libvocetta-voice0 \\(= ${VERSION}\\)")
check_deb(vocetta sound "^usr/(include|lib)/|/csharp/|/profiles/" "libvocetta0 \\(= ${VERSION}\\)"
          libsndfile1 libsoxr0 libpng16-16)
# The native module serves one minor version of Python: the package names it, both bounds.
set(python_bounds)
if(PYTHON)
  run(${PYTHON} -c "v = __import__('sys').version_info\nprint('%d.%d %d.%d' % (v[0], v[1], v[0], v[1] + 1))")
  string(REGEX MATCH "^([0-9]+\\.[0-9]+) ([0-9]+\\.[0-9]+)" bounds "${out}")
  string(REPLACE "." "\\." minor "${CMAKE_MATCH_1}")
  string(REPLACE "." "\\." next "${CMAKE_MATCH_2}")
  set(python_bounds "python3 \\(>= ${minor}~\\)" "python3 \\(<< ${next}\\)")
endif()
check_deb(python3-vocetta python
          "^usr/(bin|include)/|^usr/share/(bash-completion|man|vocetta)/|/libvocetta|/cmake/|/pkgconfig"
          "libvocetta0 \\(= ${VERSION}\\)" "vocetta \\(= ${VERSION}\\)" python3-numpy
          ${python_bounds})
# Blender runs the system's Python: its add-on lies where Blender looks for the system's.
list(FIND owned usr/share/blender/scripts/addons/vocetta_lip_sync.py addon)
if(addon EQUAL -1)
  message(FATAL_ERROR "python3-vocetta holds no Blender add-on")
endif()
check_install_tree(${WORK}/deb/usr ${WORK}/deb-use)

file(REMOVE_RECURSE ${WORK})
message(STATUS "the archive and the Debian package hold the install; the consumers ran from both")
