# Runs voice_ctypes.py (the C interface from Python's ctypes) and voice_mouth (the same from C)
# over a 16-bit WAV of AUDIO, cleaned and as it is: the same rows, byte for byte.
#     cmake -DVOICE=... -DVOICE_LIBRARY=... -DLIBRARY=... -DPYTHON=... -DSCRIPT=... -DSOX=...
#           -DAUDIO=... -DWORK=... -P CompareVoiceCtypes.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/RunCommand.cmake)
file(MAKE_DIRECTORY ${WORK})
run(${SOX} ${AUDIO} -b 16 -e signed-integer ${WORK}/line.wav)
foreach(option "" --keep-noise)
  run(${VOICE} ${LIBRARY} ${WORK}/line.wav ${option})
  set(expected "${out}")
  run(${PYTHON} ${SCRIPT} ${VOICE_LIBRARY} ${LIBRARY} ${WORK}/line.wav ${option})
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "voice_ctypes.py ${option} differs from voice_mouth:\n${out}")
  endif()
endforeach()
