# Installs the build into a scratch prefix, checks what lands there, then builds and runs the
# consumer project against it twice: with find_package(Vocetta) and with pkg-config.
#   cmake -DBUILD=dir -DSOURCE=dir -DWORK=dir -DVERSION=x.y.z -DGENERATOR=... -DCXX=... -DCC=...
#         [-DFLAGS=...] -P RunInstallTest.cmake
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/RunCommand.cmake)

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

include(${CMAKE_CURRENT_LIST_DIR}/CheckInstallTree.cmake)
check_install_tree(${prefix} ${WORK})

file(REMOVE_RECURSE ${WORK})
message(STATUS "installed into ${prefix}; both consumers built and ran")
