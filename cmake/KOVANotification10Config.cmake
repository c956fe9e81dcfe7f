# The installed KOVANotification10: the hub module and the host stand-in.
#   find_package(KOVANotification10 CONFIG REQUIRED)
#   kova_add_client(MyClient myclient.cpp)          # builds MyClient.arx
# Imported targets:
#   KOVA::KOVANotification10  the hub's interface for client modules
#   KOVA::kovahost            the host stand-in's library, for test programs
#   KOVA::kovahost_program    the kovahost program
include("${CMAKE_CURRENT_LIST_DIR}/KOVANotification10Targets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/KOVAClient.cmake")
