# kova_add_client(Name source.cpp ...) builds the client module Name.arx: a
# loadable module that includes <KOVANotification.h> and links the hub.
# Shared by this tree and by the installed package.
function(kova_add_client name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".arx"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Unique global symbols (GCC makes them) would keep the module mapped
  # after the host unloads it.
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_libraries(${name} PRIVATE KOVA::KOVANotification10)
endfunction()
