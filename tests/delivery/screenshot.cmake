# The screenshot: picture work without a display, and the capture on private X servers.
pkg_check_modules(ZELK_SCREENSHOT_TEST_XCB REQUIRED IMPORTED_TARGET xcb xcb-xfixes)
zelk_add_test(delivery_screenshot_tests
  SOURCES EScreenshotImage_test.cpp EScreenshotCapture_test.cpp
  DEPS zelk_delivery zelk_test_support PkgConfig::ZELK_SCREENSHOT_TEST_XCB)
