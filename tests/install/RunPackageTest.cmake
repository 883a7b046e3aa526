# Makes the packages as `cmake --build build --target package` does, then takes each as a user
# receives it: the archive unpacked in a scratch folder, and the Debian package's fields, its
# file list and its tree extracted in another. Each tree must hold the whole install and serve
# the consumers from where it lies.
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
set(deb ${packages}/vocetta_${VERSION}_amd64.deb)
expect("EXISTS;${deb}" "no Debian package ${deb}")
foreach(field Package Version Architecture Depends)
  run(dpkg-deb --field ${deb} ${field})
  string(STRIP "${out}" ${field})
endforeach()
expect("Package;STREQUAL;vocetta" "the package is called '${Package}'")
expect("Version;STREQUAL;VERSION" "the package's version is '${Version}', not ${VERSION}")
expect("Architecture;STREQUAL;amd64" "the package is for '${Architecture}'")
# What the library, the tool and the Python module load, as dpkg-shlibdeps found it.
foreach(dependency libc6 libsleef3 libsndfile1 libsoxr0 libpng16-16)
  expect("Depends;MATCHES;(^|, )${dependency}( |,|$)"
         "the package does not depend on ${dependency}: ${Depends}")
endforeach()
run(dpkg-deb --contents ${deb})
string(REGEX REPLACE "\n$" "" listing "${out}")
string(REPLACE "\n" ";" listing "${listing}")
foreach(line IN LISTS listing)
  expect("line;MATCHES;^[-dl]r[^ ]* root/root .* \\./(usr/.*)?$"
         "the package holds a file outside /usr or not owned by root: ${line}")
endforeach()
run(dpkg-deb -x ${deb} ${WORK}/deb)
check_install_tree(${WORK}/deb/usr ${WORK}/deb-use)

file(REMOVE_RECURSE ${WORK})
message(STATUS "the archive and the Debian package hold the install; the consumers ran from both")
