# The screenshot: the capture over X11 (xcb with reply deadlines, XFixes for the cursor, RandR
# for the monitors), the colour reduction and the PNG writer on zlib.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZELK_SCREENSHOT_XCB REQUIRED IMPORTED_TARGET xcb xcb-xfixes xcb-randr)
find_package(ZLIB REQUIRED)
target_sources(zelk_delivery PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPicture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotOctree.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPng.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPolicy.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotX11_linux.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshot_linux.cpp)
target_link_libraries(zelk_delivery PRIVATE PkgConfig::ZELK_SCREENSHOT_XCB ZLIB::ZLIB)
