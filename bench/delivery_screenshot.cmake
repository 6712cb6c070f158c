# The screenshot: capture, colour reduction and PNG writing of a 1920 x 1080 desktop on a
# private X server, each step alone and the whole.
if(TARGET zelk_delivery)
  pkg_check_modules(ZELK_SCREENSHOT_BENCH_XCB REQUIRED IMPORTED_TARGET xcb)
  add_executable(delivery_screenshot_bench DeliveryScreenshotBench.cpp)
  target_include_directories(delivery_screenshot_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_screenshot_bench PRIVATE zelk_delivery zelk_test_support benchmark::benchmark
                        PkgConfig::ZELK_SCREENSHOT_BENCH_XCB)
endif()
