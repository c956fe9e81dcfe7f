# regsvr32 registers the module's type library and regsvr32 /u removes it:
# its registry key is absent before, present after the one, absent after the other.
# regsvr32 finds the DLLs the module needs (the host's, the MinGW runtime) beside it.
get_filename_component(bin "${MODULE}" DIRECTORY)
set(ENV{WINEPATH} "${bin}")
set(key "HKEY_CLASSES_ROOT\\TypeLib\\{6C1F3A52-9E0B-4D6A-8F21-5B7E14C903A7}")

function(expect_key present step)
  execute_process(COMMAND ${WINE} reg query "${key}\\1.0" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
  if(present AND (NOT rc EQUAL 0 OR NOT out MATCHES "KOVANotification 1.0 Type Library"))
    message(FATAL_ERROR "${step}: no key ${key} naming the library (reg query: ${rc}) ${out}")
  elseif(NOT present AND rc EQUAL 0)
    message(FATAL_ERROR "${step}: the key ${key} is still there: ${out}")
  endif()
endfunction()

function(regsvr32 step)
  execute_process(COMMAND ${WINE} regsvr32 /s ${ARGN} "${MODULE}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${step}: regsvr32 ${ARGN} failed (${rc})")
  endif()
endfunction()

expect_key(FALSE "before registering")
regsvr32("registering")
expect_key(TRUE "after regsvr32")
regsvr32("unregistering" /u)
expect_key(FALSE "after regsvr32 /u")
