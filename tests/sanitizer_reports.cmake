# Fails when the sanitizer build's tests left any report in FOLDER, and
# prints each one (the programs wrote them there instead of to stderr).
file(GLOB reports "${FOLDER}/*")
if(reports)
  foreach(report ${reports})
    file(READ "${report}" text)
    message("==== ${report}\n${text}")
  endforeach()
  list(LENGTH reports count)
  message(FATAL_ERROR "${count} sanitizer report(s) from the tests")
endif()
message("no sanitizer reports")
