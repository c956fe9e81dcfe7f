# cmake --install: the hub, its client interface, the host stand-in and the
# in-house services, the example scripts and client sources, and the CMake
# package that gives an outside project kova_add_client (kovahost and the
# built example clients are installed by tools/).
set(KOVA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KOVANotification10)

install(TARGETS kovahost kovainhouse EXPORT KOVANotification10Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The hub is a module: looked for next to kovahost, as the example clients are (tools/).
install(TARGETS KOVANotification10 EXPORT KOVANotification10Targets LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# On Windows the DLLs find the MinGW runtime beside them.
if(WIN32)
  install(FILES ${KOVA_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The hub's client interface and what it includes, and the host's own headers
# (its include folder); the host's internals stay out.
install(FILES
  notification/KOVANotification.h notification/kovaexport.h notification/kovafanout.h notification/kovafanouttrace.h
  notification/kovaclientlist.h notification/kovaidset.h
  notification/kovanotificationdatabasereactor.h notification/kovanotificationdocreactor.h
  notification/kovanotificationeditorreactor.h notification/kovareactormanager.h
  inhouse/KvTrace.h inhouse/KvTools.h inhouse/KOVATools.h
  DESTINATION ${KOVA_INSTALL_INCLUDEDIR})
install(DIRECTORY host/include/ DESTINATION ${KOVA_INSTALL_INCLUDEDIR})

install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/KOVANotification10/examples)
install(DIRECTORY tools/clients/ DESTINATION ${CMAKE_INSTALL_DATADIR}/KOVANotification10/examples/clients)

install(EXPORT KOVANotification10Targets NAMESPACE KOVA:: DESTINATION ${KOVA_PACKAGE_DIR})
install(FILES cmake/KOVANotification10Config.cmake cmake/KOVAClient.cmake DESTINATION ${KOVA_PACKAGE_DIR})
