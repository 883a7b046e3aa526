# Installs the build into a scratch prefix and uses the Python package from there alone: it must
# find the installed library and tool by itself.
#   cmake -DBUILD=dir -DWORK=dir -DPYTHON=python3 -DPACKAGE_DIR=lib/python3.x/dist-packages
#         -DSAMPLE=file -P RunInstalled.cmake
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=VOCETTA_LIBRARY --unset=VOCETTA_TOOL
                        PYTHONPATH=${WORK}/${PACKAGE_DIR} ${PYTHON}
                        ${CMAKE_CURRENT_LIST_DIR}/installed_check.py ${WORK} ${SAMPLE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed package failed:\n${out}\n${err}")
endif()
