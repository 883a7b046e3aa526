# Bakes AUDIO through the C interface's example as an importer would, and with the tool: the
# same cue file, byte for byte, from the audio alone and with its words. Then plays the tool's
# files back through the example: the cues give the shape the tool's keyframes give on every
# animation frame, and the curves sampled at each frame's time the tool's curve rows, byte for
# byte, in both shape sets.
#     cmake -DBAKED=... -DLIBRARY=... -DTOOL=... -DAUDIO=... -DWORK=... -P CompareBakedLine.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/RunCommand.cmake)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(words "Hello! Watch my mouth: ah, ee, oo, eh, oh.")
find_program(ESPEAK espeak-ng)
foreach(set cartoon visemes)
  set(said "")
  if(ESPEAK AND set STREQUAL "visemes")
    set(said "${words}")  # the text as well, where espeak-ng can say it
  endif()
  run(${BAKED} bake ${LIBRARY} ${AUDIO} ${set} ${WORK}/imported.json ${said})
  if(said)
    run(${TOOL} analyze ${AUDIO} -q --cues --shapes ${set} --text "${said}" --force -o ${WORK}/cues.json)
  else()
    run(${TOOL} analyze ${AUDIO} -q --cues --shapes ${set} --force -o ${WORK}/cues.json)
  endif()
  file(READ ${WORK}/imported.json imported)
  file(READ ${WORK}/cues.json baked)
  if(NOT imported STREQUAL baked)
    message(FATAL_ERROR "baked_line bake ${set} differs from the tool's cues:\n${imported}")
  endif()
endforeach()
foreach(set cartoon visemes)
  foreach(fps 24 30 60)
    run(${TOOL} analyze ${AUDIO} -q --cues --shapes ${set} --force -o ${WORK}/cues.json)
    run(${TOOL} analyze ${AUDIO} -q --cues --shapes ${set} --keyframes --fps ${fps})
    set(expected "${out}")
    run(${BAKED} cues ${WORK}/cues.json ${set} ${fps})
    # The file keeps the duration to two decimals (6.15 for 6.1488 s), which may hold one
    # animation frame more than the tool counted.
    string(LENGTH "${expected}" length)
    string(SUBSTRING "${out}" 0 ${length} head)
    string(SUBSTRING "${out}" ${length} -1 tail)
    if(NOT head STREQUAL expected OR tail MATCHES "\n.")
      message(FATAL_ERROR "baked_line cues ${set} at ${fps} differs from the tool's keyframes")
    endif()
    run(${TOOL} analyze ${AUDIO} -q --curves --shapes ${set} --fps ${fps} --force -o ${WORK}/curves.json)
    run(${TOOL} analyze ${AUDIO} -q --curves --shapes ${set} --fps ${fps})
    set(expected "${out}")
    run(${BAKED} curves ${WORK}/curves.json)
    if(NOT out STREQUAL expected)
      message(FATAL_ERROR "baked_line curves ${set} at ${fps} differ from the tool's:\n${out}")
    endif()
  endforeach()
endforeach()
# A file that is not cues is a message naming it, and a failure.
execute_process(COMMAND ${BAKED} cues ${WORK}/curves.json cartoon 24 RESULT_VARIABLE status
                ERROR_VARIABLE errors OUTPUT_QUIET)
if(status EQUAL 0 OR NOT errors MATCHES "curves\\.json: missing \"mouthCues\"")
  message(FATAL_ERROR "baked_line on curves as cues: status ${status}, '${errors}'")
endif()
file(REMOVE_RECURSE ${WORK})
