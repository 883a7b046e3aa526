# Runs the C interface's example over AUDIO, cleaned and as it is, in 10 ms blocks and in blocks
# of 333 and 4096 samples, and checks that it prints what the C++ SDK's live_mouth prints for the
# same audio, byte for byte: the C interface is the SDK's pipeline, whatever the block size.
#     cmake -DVOICE=... -DLIVE=... -DLIBRARY=... -DAUDIO=... -P CompareVoiceMouth.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/RunCommand.cmake)

foreach(option "" --keep-noise)
  run(${LIVE} ${LIBRARY} ${AUDIO} ${option})
  set(expected "${out}")
  string(LENGTH "${expected}" length)
  if(length LESS 1000)
    message(FATAL_ERROR "live_mouth ${option} printed too little:\n${expected}")
  endif()
  foreach(block "" 333 4096)
    set(blocks)
    if(block)
      set(blocks --block ${block})
    endif()
    run(${VOICE} ${LIBRARY} ${AUDIO} ${option} ${blocks})
    if(NOT out STREQUAL expected)
      message(FATAL_ERROR "voice_mouth ${option} ${blocks} differs from live_mouth:\n${out}")
    endif()
  endforeach()
endforeach()
# A library that is not there is a message naming it, and a failure.
execute_process(COMMAND ${VOICE} ${AUDIO}.missing.so ${AUDIO} RESULT_VARIABLE status
                ERROR_VARIABLE errors OUTPUT_QUIET)
if(status EQUAL 0 OR NOT errors MATCHES "missing\\.so")
  message(FATAL_ERROR "voice_mouth with no library: status ${status}, '${errors}'")
endif()
