# Manual pages made from the programs' own --help, so that they say what
# the programs say:
#   korva.1          the command overview ("korva --help")
#   korva-CMD.1      each command of the overview ("korva CMD --help")
#   korva_sim.1      the simulator ("korva_sim --help")
# Run as a script at build time:
#   cmake -DKORVA=... -DKORVA_SIM=... -DHELP2MAN=... -DVERSION=... -DOUT=dir -P manpages.cmake
# The commands are read from the overview, so a new command gets its page.
foreach(var KORVA KORVA_SIM HELP2MAN VERSION OUT)
  if(NOT ${var})
    message(FATAL_ERROR "manpages.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/man1 ${OUT}/wrappers)

function(run_help out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "manpages.cmake: '${ARGN}' failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# NAME: "PROGRAM - WHAT IT IS" on the first line of the help.
function(first_line_name out text)
  if(NOT text MATCHES "^[^\n]* - ([^\n]+)")
    message(FATAL_ERROR "manpages.cmake: the help does not start with 'PROGRAM - description'")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

function(help2man program name page)
  execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${VERSION}
                          "--source=korva ${VERSION}" "--manual=korva manual"
                          "--name=${name}" ${ARGN} --output=${OUT}/man1/${page}.1 ${program}
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "manpages.cmake: help2man ${program} failed: ${err}")
  endif()
endfunction()

# Text as roff takes it: backslashes and hyphens escaped.
function(roff_text out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

run_help(overview ${KORVA} --help)
first_line_name(korva_name "${overview}")

# The command lines of the overview: "  NAME ARGS...   description", the
# description starting in column 24.
string(REGEX MATCH "\nCommands:\n(([^\n]+\n)+)" commands_block "${overview}")
if(NOT commands_block)
  message(FATAL_ERROR "manpages.cmake: no 'Commands:' block in korva --help")
endif()
# (Semicolons would split the list's lines: held as another text meanwhile.)
string(REPLACE ";" "<semicolon>" command_lines "${CMAKE_MATCH_1}")
string(REPLACE "\n" ";" command_lines "${command_lines}")
set(see_also "")
foreach(line IN LISTS command_lines)
  if(NOT line MATCHES "^  ([a-z]+) ")
    continue()
  endif()
  set(cmd ${CMAKE_MATCH_1})
  string(REPLACE "<semicolon>" ";" line "${line}")
  string(SUBSTRING "${line}" 24 -1 description)
  string(STRIP "${description}" description)
  # The page lists the commands in a section of its own (help2man does not
  # take "send ADAPTER FRAME... send frames", with one space, for a term).
  string(SUBSTRING "${line}" 2 22 synopsis)
  string(STRIP "${synopsis}" synopsis)
  roff_text(synopsis "${synopsis}")
  roff_text(roff_description "${description}")
  string(APPEND commands_section ".TP\n.B ${synopsis}\n${roff_description}\n")
  # help2man runs "PROGRAM --help": a wrapper named korva-CMD runs
  # "korva CMD --help".
  set(wrapper ${OUT}/wrappers/korva-${cmd})
  file(WRITE ${wrapper} "#!/bin/sh\nexec '${KORVA}' ${cmd} \"$@\"\n")
  file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  file(WRITE ${OUT}/wrappers/korva-${cmd}.h2m "[SEE ALSO]\n.BR korva (1)\n")
  help2man(${wrapper} "${description}" korva-${cmd} --include=${OUT}/wrappers/korva-${cmd}.h2m)
  string(APPEND see_also ".BR korva\\-${cmd} (1),\n")
  list(APPEND pages korva-${cmd})
endforeach()
if(NOT pages)
  message(FATAL_ERROR "manpages.cmake: no commands found in korva --help")
endif()

file(WRITE ${OUT}/wrappers/korva.h2m "[COMMANDS]\n${commands_section}\n[SEE ALSO]\n${see_also}.BR korva_sim (1)\n")
string(REPLACE "${commands_block}" "\n" overview "${overview}")
file(WRITE ${OUT}/wrappers/overview.txt "${overview}")
file(MAKE_DIRECTORY ${OUT}/wrappers/overview)
file(WRITE ${OUT}/wrappers/overview/korva "#!/bin/sh\nexec cat '${OUT}/wrappers/overview.txt'\n")
file(CHMOD ${OUT}/wrappers/overview/korva PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
help2man(${OUT}/wrappers/overview/korva "${korva_name}" korva --include=${OUT}/wrappers/korva.h2m)

run_help(sim_help ${KORVA_SIM} --help)
first_line_name(sim_name "${sim_help}")
file(WRITE ${OUT}/wrappers/korva_sim.h2m "[SEE ALSO]\n.BR korva (1),\n.BR korva\\-sim (1)\n")
help2man(${KORVA_SIM} "${sim_name}" korva_sim --include=${OUT}/wrappers/korva_sim.h2m)
file(REMOVE_RECURSE ${OUT}/wrappers)
