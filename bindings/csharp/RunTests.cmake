# Compiles the C# host, its sample and its tests with mcs, runs the sample and the tool over the
# same recording, and lets the tests compare them.
#   cmake -DMCS=mcs -DMONO=mono -DSOX=sox -DSOURCE=dir -DWORK=dir -DLIBRARY=libvocetta.so
#         -DTOOL=vocetta -DPROFILE=file -DRECORDING=file -DHEADER=vocetta.h -P RunTests.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/RunCommand.cmake)

run(${MCS} -nologo -warnaserror -out:${WORK}/vocetta-sample.exe ${SOURCE}/Vocetta.cs
    ${SOURCE}/Sample.cs)
run(${MCS} -nologo -warnaserror -main:Tests -r:System.Core -out:${WORK}/vocetta-csharp-tests.exe
    ${SOURCE}/Vocetta.cs ${SOURCE}/Sample.cs ${SOURCE}/Tests.cs)
# The sample reads 16-bit PCM WAV; the tool reads that same file.
run(${SOX} ${RECORDING} -b 16 -e signed-integer ${WORK}/recording.wav)
run(${TOOL} analyze -q --keep-noise --no-smoothing --silence -40 ${WORK}/recording.wav
    -o ${WORK}/tool.csv)
# Its labels of the whole recording under the same gate, smoothed: where its cues rest the mouth.
run(${TOOL} analyze -q --keep-noise --silence -40 ${WORK}/recording.wav -o ${WORK}/labels.csv)
run(${MONO} ${WORK}/vocetta-sample.exe ${LIBRARY} ${PROFILE} ${WORK}/recording.wav)
file(WRITE ${WORK}/sample.csv "${out}")
# The host's symbol as the public header names it, for the tests to compare.
file(READ ${HEADER} header)
string(REGEX MATCH "#define VOCETTA_SYMBOL_LIP_SYNC_JOB \"([0-9a-f]+)\"" found "${header}")
if(NOT found)
  message(FATAL_ERROR "${HEADER}: no VOCETTA_SYMBOL_LIP_SYNC_JOB")
endif()
set(symbol ${CMAKE_MATCH_1})
# The shapes the tool shows in every frame with the mouth's own defaults (attack 20 ms, release
# 50 ms, rest below -40 dBFS) and the margins and dips the tests give the C# mouth: cues without hold or
# closures follow the frames, and a keyframe every 10 ms falls in each frame's cue once.
foreach(set cartoon visemes)
  run(${TOOL} analyze -q --keep-noise --cues --shapes ${set} --min-hold 0 --closure 0 --attack 20
      --release 50 --closed-margin 2 --lip-margin 8 --closed-dip 6 --lip-dip 12 --dip-window 100
      --silence -40 --keyframes --fps 100
      ${WORK}/recording.wav
      -o ${WORK}/${set}.tsv)
endforeach()
# `vocetta analyze - OPTIONS... < input > output`: the rows the tool gives a stream.
function(stream input output)
  execute_process(COMMAND ${TOOL} analyze -q ${ARGN} - INPUT_FILE ${input} OUTPUT_FILE ${output}
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} analyze ${ARGN} - < ${input} failed (${status}):\n${err}")
  endif()
endfunction()
# The same recording streamed through standard input: the labels the C# smoother must give.
stream(${WORK}/recording.wav ${WORK}/stream.csv --keep-noise)
# A noisy copy (pink noise about 30 dB under the speech, repeatable), streamed with the noise
# cleaned, as the tool does by default: the labels the C# cleaner, analyzer and smoother must give.
run(${SOX} -R ${WORK}/recording.wav ${WORK}/noise.wav synth pinknoise vol 0.02)
run(${SOX} -R -m -v 1 ${WORK}/recording.wav -v 1 ${WORK}/noise.wav ${WORK}/noisy.wav)
stream(${WORK}/noisy.wav ${WORK}/noisy-stream.csv)
# The tool's cue files with its defaults (the noise cleaned, the gate following the recording),
# of the noisy copy in both sets and of the recording as it is: what CueTrack.Bake must write.
run(${TOOL} analyze -q --cues ${WORK}/noisy.wav -o ${WORK}/noisy-cartoon.json)
run(${TOOL} analyze -q --cues --shapes visemes ${WORK}/noisy.wav -o ${WORK}/noisy-visemes.json)
run(${TOOL} analyze -q --cues --keep-noise ${WORK}/recording.wav -o ${WORK}/cartoon.json)
# And its curves: what ShapeCurves.Bake must write.
run(${TOOL} analyze -q --curves ${WORK}/noisy.wav -o ${WORK}/noisy-curves.csv)
run(${TOOL} analyze -q --curves --shapes visemes --fps 30 --keep-noise ${WORK}/recording.wav
    -o ${WORK}/curves.json)
# The same curves mixed into the ARKit rig's: what Rig.ToJson and ToCsv must write.
get_filename_component(rig ${SOURCE}/../../rigs/arkit.json ABSOLUTE)
foreach(format json csv)
  run(${TOOL} analyze -q --curves --rig ${rig} --fps 30 --keep-noise ${WORK}/recording.wav
      -o ${WORK}/rig-curves.${format})
endforeach()
# Told what the recording says (the sample's words as espeak-ng en-us phonemises them): the cues
# and curves a transcript gives, what CueTrack.Bake and ShapeCurves.Bake must write with it.
set(words "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ")
run(${TOOL} analyze -q --cues --ipa "${words}" ${WORK}/noisy.wav -o ${WORK}/noisy-aligned.json)
run(${TOOL} analyze -q --curves --keep-noise --shapes visemes --ipa "${words}" ${WORK}/recording.wav
    -o ${WORK}/aligned-curves.csv)
# And its phones where they are said: what PhoneTimeline.Bake must give.
run(${TOOL} analyze -q --phones --ipa "${words}" ${WORK}/noisy.wav -o ${WORK}/noisy-phones.csv)
run(${TOOL} analyze -q --words --ipa "${words}" ${WORK}/noisy.wav -o ${WORK}/noisy-words.csv)
# The built-in profile adapted to the recording's speaker by the tool.
run(${TOOL} adapt -q --profile ${PROFILE} -o ${WORK}/adapted.json ${WORK}/recording.wav)
run(${MONO} ${WORK}/vocetta-csharp-tests.exe ${LIBRARY} ${PROFILE} ${WORK}/recording.wav
    ${WORK}/tool.csv ${WORK}/sample.csv ${symbol} ${WORK}/cartoon.tsv ${WORK}/visemes.tsv
    ${WORK}/stream.csv ${WORK}/noisy.wav ${WORK}/noisy-stream.csv ${WORK}/noisy-cartoon.json
    ${WORK}/noisy-visemes.json ${WORK}/cartoon.json ${WORK}/noisy-curves.csv ${WORK}/curves.json
    ${WORK}/adapted.json ${WORK}/labels.csv ${WORK}/noisy-aligned.json
    ${WORK}/aligned-curves.csv ${WORK}/noisy-phones.csv ${WORK}/noisy-words.csv ${rig}
    ${WORK}/rig-curves.json ${WORK}/rig-curves.csv)
message(STATUS "${out}")
