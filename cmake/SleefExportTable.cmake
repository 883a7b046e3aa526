# Writes SLEEF's single-precision argument-reduction table as an object that also defines the
# exported name rempitabsp at the same address. SLEEF defines the table hidden, as
# Sleef_rempitabsp, and a linker alias would inherit that visibility; a second symbol added to the
# table's own section keeps one copy of the table, used by SLEEF's code and exported by name.
#   cmake -DARCHIVE=libsleef.a -DOUTPUT=file.o -DAR=ar -DNM=nm -DREADELF=readelf -DOBJCOPY=objcopy
#         -P SleefExportTable.cmake
set(table Sleef_rempitabsp)

execute_process(COMMAND ${NM} -A ${ARCHIVE} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH ":([^:\n]+):[0-9a-fA-F]+ [RD] ${table}\n" definition "${listing}\n")
if(NOT definition)
  message(FATAL_ERROR "${ARCHIVE} does not define ${table}")
endif()
set(member ${CMAKE_MATCH_1})

get_filename_component(work ${OUTPUT} DIRECTORY)
set(work ${work}/table)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
execute_process(COMMAND ${AR} x ${ARCHIVE} ${member} WORKING_DIRECTORY ${work}
                COMMAND_ERROR_IS_FATAL ANY)

# Section index and offset of the table, then the name of that section.
execute_process(COMMAND ${READELF} -sW ${work}/${member} OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT symbols MATCHES "\n *[0-9]+: ([0-9a-f]+) +[0-9]+ OBJECT +GLOBAL +[A-Z]+ +([0-9]+) ${table}\n")
  message(FATAL_ERROR "${member} has no data symbol ${table}")
endif()
set(offset ${CMAKE_MATCH_1})
set(index ${CMAKE_MATCH_2})
execute_process(COMMAND ${READELF} -SW ${work}/${member} OUTPUT_VARIABLE sections
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT sections MATCHES "\n *\\[ *${index}\\] ([^ \n]+) ")
  message(FATAL_ERROR "${member} has no section ${index}")
endif()
set(section ${CMAKE_MATCH_1})
string(REGEX REPLACE "^0+([0-9a-f])" "\\1" offset "${offset}")

execute_process(COMMAND ${OBJCOPY} --add-symbol rempitabsp=${section}:0x${offset},global,object
                        ${work}/${member} ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
