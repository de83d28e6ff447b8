# Runs delta_tool end to end: diff at every effort level with a tiny effort limit (so the
# exhausted-search branches run), patch, and compare with the new value; bad usage fails.
#   cmake -DTOOL=path/to/delta_tool -DWORK=scratch/dir [-DEMULATOR="qemu-aarch64 -L ..."] -P delta_tool_check.cmake
# EMULATOR, for a cross build, is the command line that runs the tool.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(TOOL ${emulator} ${TOOL})
file(MAKE_DIRECTORY ${WORK})
string(REPEAT "the quick brown fox jumps over the lazy dog; " 60 old_text)
string(REPLACE "lazy" "sleepy" new_text "${old_text}")
string(REPLACE "quick brown" "slow red" new_text "${new_text}")
string(APPEND new_text "and one more sentence at the end")
file(WRITE ${WORK}/old "${old_text}")
file(WRITE ${WORK}/new "${new_text}")

foreach(level 0 1 2 3 4)
  foreach(effort 1 10000)
    execute_process(COMMAND ${TOOL} diff ${WORK}/old ${WORK}/new --level ${level} --effort-limit ${effort} --stats
                    OUTPUT_FILE ${WORK}/delta ERROR_VARIABLE stats RESULT_VARIABLE code)
    if(NOT code EQUAL 0 OR NOT stats MATCHES "searches [0-9]+")
      message(FATAL_ERROR "diff at level ${level}, effort ${effort}: exit ${code}: ${stats}")
    endif()
    execute_process(COMMAND ${TOOL} patch ${WORK}/old ${WORK}/delta OUTPUT_FILE ${WORK}/patched RESULT_VARIABLE code)
    file(READ ${WORK}/patched patched)
    if(NOT code EQUAL 0 OR NOT patched STREQUAL new_text)
      message(FATAL_ERROR "patch at level ${level}, effort ${effort} did not rebuild the new value (exit ${code})")
    endif()
  endforeach()
endforeach()

execute_process(COMMAND ${TOOL} diff ${WORK}/old ${WORK}/new --level 5 OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE code)
if(code EQUAL 0)
  message(FATAL_ERROR "level 5 was accepted")
endif()
