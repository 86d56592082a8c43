# Fails when a user-visible text of the application has no German
# translation: lupdate runs over the sources into a copy of the .ts file,
# and any text it leaves unfinished (new or untranslated) is reported.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(ts_name ${TS_FILE} NAME)
set(copy ${WORK_DIR}/${ts_name})
file(COPY_FILE ${TS_FILE} ${copy})
execute_process(
  COMMAND ${CMAKE_COMMAND} -DIN_FILE=${PROJECT_IN} -DOUT_FILE=${WORK_DIR}/project.json
    -P ${PROJECT_SCRIPT}
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not describe the sources for lupdate:\n${err}")
endif()
execute_process(
  COMMAND ${LUPDATE} -project ${WORK_DIR}/project.json ${LUPDATE_OPTIONS} -ts ${copy}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "lupdate failed (${status}):\n${out}${err}")
endif()
file(READ ${copy} text)
string(REGEX MATCHALL "<source>[^<]*</source>[ \t\r\n]*<translation type=\"unfinished\"" missing "${text}")
list(LENGTH missing count)
if(count GREATER 0)
  string(REPLACE ";" "\n" listing "${missing}")
  message(FATAL_ERROR "${count} text(s) without a German translation:\n${listing}")
endif()
message(STATUS "German translation complete")
