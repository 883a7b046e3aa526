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
set(script [=[
import os, sys, vocetta
prefix = os.path.realpath(sys.argv[1])
assert os.path.realpath(vocetta.__file__).startswith(prefix), vocetta.__file__
assert os.path.realpath(vocetta.library_path()).startswith(prefix), vocetta.library_path()
assert os.path.realpath(vocetta.tool_path()).startswith(prefix), vocetta.tool_path()
frames = vocetta.analyze_file(sys.argv[2])
assert len(frames) > 100 and set(frames.phoneme) > {"sil"}, frames
cues = vocetta.cues_file(sys.argv[2])
assert len(cues) > 5 and cues[0].start == 0 and "X" in {c.shape for c in cues}, cues
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=VOCETTA_LIBRARY --unset=VOCETTA_TOOL
                        PYTHONPATH=${WORK}/${PACKAGE_DIR} ${PYTHON} -c "${script}" ${WORK} ${SAMPLE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed package failed:\n${out}\n${err}")
endif()
