# Builds the crate offline (it depends on nothing), runs its tests against the build's
# libraries, then runs its example and the C example over a 16-bit WAV of AUDIO, cleaned and as
# it is: the same rows, byte for byte.
#     cmake -DCARGO=... -DSOX=... -DSOURCE=... -DWORK=... -DVOICE_DIR=... -DLIBRARY=...
#           -DVOICE=... -DAUDIO=... -P RunTests.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/RunCommand.cmake)
set(ENV{VOCETTA_VOICE_LIB_DIR} ${VOICE_DIR})
set(ENV{LD_LIBRARY_PATH} "${VOICE_DIR}:$ENV{LD_LIBRARY_PATH}")
set(ENV{VOCETTA_TEST_LIBRARY} ${LIBRARY})
set(ENV{CARGO_TARGET_DIR} ${WORK}/target)
set(ENV{RUSTFLAGS} "-D warnings")
run(${CARGO} test --offline --release --quiet --manifest-path ${SOURCE}/Cargo.toml)
run(${CARGO} build --offline --release --quiet --examples --manifest-path ${SOURCE}/Cargo.toml)
run(${SOX} ${AUDIO} -b 16 -e signed-integer ${WORK}/line.wav)
foreach(option "" --keep-noise)
  run(${VOICE} ${LIBRARY} ${WORK}/line.wav ${option})
  set(expected "${out}")
  run(${WORK}/target/release/examples/voice_mouth ${LIBRARY} ${WORK}/line.wav ${option})
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the Rust voice_mouth ${option} differs from the C one:\n${out}")
  endif()
endforeach()
