# check_install_tree(PREFIX WORK): checks what an installed Vocetta holds under PREFIX (however
# it got there: cmake --install, an unpacked archive, an extracted Debian package), then builds and
# runs the consumer project against it twice, with find_package(Vocetta) and with pkg-config, in
# the scratch folder WORK. Needs SOURCE, VERSION, GENERATOR, CXX, CC and FLAGS, and run() from
# RunCommand.cmake; with PYTHON, PYTHON_CHECK (installed_check.py) and SAMPLE, it uses the Python
# package from there too.
function(expect condition message)
  if(NOT ${condition})
    message(FATAL_ERROR "${message}")
  endif()
endfunction()

function(check_install_tree prefix work)
  # The layout, found by GNUInstallDirs names rather than assumed.
  file(GLOB libdir_candidates LIST_DIRECTORIES true ${prefix}/lib ${prefix}/lib64 ${prefix}/lib/*-linux-gnu)
  set(libdir)
  foreach(candidate IN LISTS libdir_candidates)
    if(EXISTS ${candidate}/libvocetta.so)
      set(libdir ${candidate})
    endif()
  endforeach()
  expect(libdir "no libvocetta.so under ${prefix}")
  string(REGEX MATCH "^[0-9]+" major "${VERSION}")
  expect("IS_SYMLINK;${libdir}/libvocetta.so" "libvocetta.so is not a link")
  foreach(name libvocetta.so.${major} libvocetta.so.${VERSION} libvocetta_sdk.a
               libvocetta_voice.so libvocetta_voice.so.${major}
               cmake/Vocetta/VocettaConfig.cmake cmake/Vocetta/VocettaConfigVersion.cmake
               pkgconfig/vocetta.pc)
    expect("EXISTS;${libdir}/${name}" "${name} is not installed")
  endforeach()
  foreach(name include/vocetta/vocetta.h include/vocetta/voice.h include/vocetta/library.hpp
               include/vocetta/profile.hpp
               include/vocetta/ring.hpp include/vocetta/host_services.hpp bin/vocetta
               share/vocetta/profiles/default.json share/vocetta/rigs/arkit.json
               share/bash-completion/completions/vocetta
               share/vocetta/csharp/Vocetta.cs)
    expect("EXISTS;${prefix}/${name}" "${name} is not installed")
  endforeach()
  if(EXISTS ${BUILD}/man/vocetta.1.gz)  # the build wrote man pages (help2man was found)
    foreach(page vocetta vocetta-analyze vocetta-calibrate)
      set(file ${prefix}/share/man/man1/${page}.1.gz)
      expect("EXISTS;${file}" "man page ${page}.1.gz is not installed")
      run(gzip -dc ${file})
      string(TOUPPER ${page} title)
      expect("out;MATCHES;\n\\.TH \"?${title}\"? " "${file} is not a man page of ${page}")
    endforeach()
  endif()
  file(GLOB_RECURSE testing ${prefix}/*vocetta_testing*)
  if(testing)
    message(FATAL_ERROR "the testing library is installed: ${testing}")
  endif()

  run(readelf -d ${libdir}/libvocetta.so)
  string(REGEX MATCH "\\(SONAME\\)[^\n]*\\[([^]]+)\\]" soname "${out}")
  expect("CMAKE_MATCH_1;STREQUAL;libvocetta.so.${major}"
         "SONAME is '${CMAKE_MATCH_1}', not libvocetta.so.${major}")

  # The installed tool finds the installed library on its own, and the Python package (when the
  # build had one) both.
  run(${CMAKE_COMMAND} -E env --unset=VOCETTA_LIBRARY ${prefix}/bin/vocetta info)
  string(REGEX MATCH "library: +([^\n]+)" found "${out}")
  file(REAL_PATH "${CMAKE_MATCH_1}" found)
  file(REAL_PATH ${libdir}/libvocetta.so installed)
  expect("found;STREQUAL;installed" "the installed tool loads ${found}, not ${installed}")
  file(GLOB python_packages ${prefix}/lib/python3*/*-packages)
  if(PYTHON AND python_packages)
    run(${CMAKE_COMMAND} -E env --unset=VOCETTA_LIBRARY --unset=VOCETTA_TOOL
        PYTHONPATH=${python_packages} ${PYTHON} ${PYTHON_CHECK} ${prefix} ${SAMPLE})
  endif()

  # find_package(Vocetta).
  set(consumer ${work}/consumer)
  run(${CMAKE_COMMAND} -S ${SOURCE} -B ${consumer} -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC} "-DCMAKE_CXX_FLAGS=${FLAGS}"
      "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
  run(${CMAKE_COMMAND} --build ${consumer})
  run(${consumer}/sdk_consumer)
  run(${consumer}/header_consumer ${libdir}/libvocetta.so)
  run(${consumer}/voice_consumer ${libdir}/libvocetta.so)

  # pkg-config, on a plain compiler command line.
  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  run(pkg-config --cflags vocetta)
  separate_arguments(cflags UNIX_COMMAND "${out}")
  run(pkg-config --libs vocetta)
  separate_arguments(libs UNIX_COMMAND "${out}")
  run(pkg-config --variable=library vocetta)
  string(STRIP "${out}" library)
  run(pkg-config --variable=prefix vocetta)
  string(STRIP "${out}" pc_prefix)
  file(REAL_PATH ${pc_prefix} pc_prefix)
  file(REAL_PATH ${prefix} real_prefix)
  expect("pc_prefix;STREQUAL;real_prefix" "vocetta.pc places its prefix at ${pc_prefix}")
  separate_arguments(flags UNIX_COMMAND "${FLAGS}")
  run(${CXX} -std=c++20 ${flags} ${cflags} ${SOURCE}/sdk_consumer.cpp ${libs}
      -o ${work}/sdk_consumer_pc)
  run(${work}/sdk_consumer_pc ${library} ${prefix}/share/vocetta/profiles/default.json)
  run(${CC} ${flags} ${cflags} ${SOURCE}/header_consumer.c -ldl -o ${work}/header_consumer_pc)
  run(${work}/header_consumer_pc ${library})
endfunction()
