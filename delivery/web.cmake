# Web delivery: form upload, FTP and the bug trackers on libcurl.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
target_sources(zelk_delivery PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebTools.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebErrors.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebCommon.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebTransfer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebForm.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebFtp.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebPage.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebConnection.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebTrackers.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebMantis.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebBugzilla.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EWebFogBugz.cpp)
target_link_libraries(zelk_delivery PUBLIC CURL::libcurl OpenSSL::Crypto)
