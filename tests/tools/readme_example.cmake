# Fails unless the README shows each example source exactly as it is built
# (SOURCES: the files, apart by '|').
file(READ "${README}" readme)
string(REPLACE "|" ";" SOURCES "${SOURCES}")
foreach(path IN LISTS SOURCES)
  file(READ "${path}" source)
  string(FIND "${readme}" "${source}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show ${path} as it is")
  endif()
endforeach()
