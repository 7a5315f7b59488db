# Writes OUT, a header defining FOLIAN_VERSION from `git describe` of
# SOURCE_DIR ("unknown" outside a git checkout).  The file is rewritten only
# when the text changes, so a build without a new commit recompiles nothing.
execute_process(COMMAND git describe --always --dirty
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR version STREQUAL "")
  set(version "unknown")
endif()
set(text "#define FOLIAN_VERSION \"${version}\"\n")
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
