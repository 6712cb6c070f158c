# The screenshot: picture work without a display, and the capture on private X servers.
pkg_check_modules(ZELK_SCREENSHOT_TEST_XCB REQUIRED IMPORTED_TARGET xcb xcb-xfixes)
zelk_add_test(delivery_screenshot_tests
  SOURCES EScreenshotImage_test.cpp EScreenshotCapture_test.cpp EScreenshotFlow_test.cpp
  DEPS zelk_delivery zelk_test_support PkgConfig::ZELK_SCREENSHOT_TEST_XCB)
# A Qt program with the bridge, whose windows the screenshot finds through the bridge's list.
if(TARGET zelk_reporting_bridge)
  add_executable(delivery_screenshot_qt_child EScreenshotQt_child.cpp)
  target_include_directories(delivery_screenshot_qt_child PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_screenshot_qt_child PRIVATE zelk_delivery zelk_reporting_bridge)
  add_dependencies(delivery_screenshot_tests delivery_screenshot_qt_child)
  target_compile_definitions(delivery_screenshot_tests PRIVATE
    SCREENSHOT_QT_CHILD="$<TARGET_FILE:delivery_screenshot_qt_child>")
endif()

# The screenshot in the processing flow, in a child program.
include(TarvexOptions)
add_executable(delivery_screenshot_flow_child EScreenshotFlow_child.cpp)
target_include_directories(delivery_screenshot_flow_child PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(delivery_screenshot_flow_child PRIVATE zelk_delivery PkgConfig::ZELK_SCREENSHOT_TEST_XCB)
tarvex_embed_options(delivery_screenshot_flow_child ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
add_dependencies(delivery_screenshot_tests delivery_screenshot_flow_child)
target_compile_definitions(delivery_screenshot_tests PRIVATE
  SCREENSHOT_FLOW_CHILD="$<TARGET_FILE:delivery_screenshot_flow_child>")
