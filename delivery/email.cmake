# The SMTP routes: the message builder, the socket class (with OpenSSL for TLS) and the route
# choice.
find_package(OpenSSL REQUIRED)
target_sources(zelk_delivery PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/ESockets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ESocketsClient_linux.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ESocketsMime.cpp)
target_link_libraries(zelk_delivery PUBLIC OpenSSL::SSL OpenSSL::Crypto)
