# Writes vocetta.1.gz and vocetta-COMMAND.1.gz for every subcommand that `vocetta --help` lists,
# each with help2man from the tool's own --help, so the pages follow the options as they change.
# Compressed as Debian's packages ship man pages (gzip -9n: no name or time in the header, so the
# same pages give the same bytes).
#   cmake -DTOOL=path/vocetta -DOUTPUT=dir -DVERSION=x.y.z -DHELP2MAN=path -DGZIP=path
#         -P ManPages.cmake
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
# CMake lists split at semicolons, which summaries may hold: carry them as a placeholder.
string(REPLACE ";" "<semicolon>" help "${help}")
string(REGEX MATCH "\ncommands:\n([^\n]+\n)+" listing "${help}")
string(REGEX MATCHALL "\n  [a-z]+ +[^\n]+" lines "${listing}")
if(NOT lines)
  message(FATAL_ERROR "${TOOL} --help lists no commands")
endif()

file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT}/wrappers)
set(commands)
set(see_also)
foreach(line IN LISTS lines)
  string(REGEX MATCH "^\n  ([a-z]+) +(.+)$" matched "${line}")
  list(APPEND commands "${CMAKE_MATCH_1}")
  set(summary_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  list(APPEND see_also "\\fBvocetta-${CMAKE_MATCH_1}\\fR(1)")
endforeach()
list(JOIN see_also ",\n" see_also)

function(write_page program name page)
  string(REPLACE "<semicolon>" ";" name "${name}")
  execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
                          --version-string=${VERSION} "--name=${name}"
                          --include=${OUTPUT}/wrappers/see-also.h2m --output=${page} ${program}
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${GZIP} -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(WRITE ${OUTPUT}/wrappers/see-also.h2m "[SEE ALSO]\n\\fBvocetta\\fR(1),\n${see_also}\n")
write_page(${TOOL} "real-time lip sync from speech: phoneme timelines, profiles and textures"
           ${OUTPUT}/vocetta.1)
# help2man names a page after its program: each subcommand gets a wrapper named vocetta-COMMAND.
foreach(command IN LISTS commands)
  set(wrapper ${OUTPUT}/wrappers/vocetta-${command})
  file(WRITE ${wrapper} "#!/bin/sh\nexec '${TOOL}' ${command} \"$@\"\n")
  file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  write_page(${wrapper} "${summary_${command}}" ${OUTPUT}/vocetta-${command}.1)
endforeach()
file(REMOVE_RECURSE ${OUTPUT}/wrappers)
