# The screenshot: the capture over X11 (xcb with reply deadlines, XFixes for the cursor, RandR
# for the monitors), the colour reduction and the PNG writer on zlib.
find_package(PkgConfig REQUIRED)
# One module a target, so that the installed package can find each again by its name.
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
pkg_check_modules(XCB_XFIXES REQUIRED IMPORTED_TARGET xcb-xfixes)
pkg_check_modules(XCB_RANDR REQUIRED IMPORTED_TARGET xcb-randr)
find_package(ZLIB REQUIRED)
target_sources(zelk_delivery PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPicture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotOctree.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPng.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotPolicy.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshotX11_linux.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/EScreenshot_linux.cpp)
target_link_libraries(zelk_delivery PRIVATE PkgConfig::XCB PkgConfig::XCB_XFIXES PkgConfig::XCB_RANDR ZLIB::ZLIB)
