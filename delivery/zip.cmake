# The zip packaging: the archive writer on minizip (entry data deflated and encrypted by us),
# the prepared files, keeping and clean-up.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET GLOBAL minizip)
find_package(ZLIB REQUIRED)
target_sources(zelk_delivery PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/EZip.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EZipWriter.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EZipCrypto.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EZipKeep_linux.cpp)
target_link_libraries(zelk_delivery PUBLIC PkgConfig::MINIZIP ZLIB::ZLIB)
