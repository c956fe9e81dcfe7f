# Fails unless the README shows the example client exactly as it is built.
file(READ "${README}" readme)
file(READ "${SOURCE}" source)
string(FIND "${readme}" "${source}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${SOURCE} as it is")
endif()
