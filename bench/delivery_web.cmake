# Web delivery: how long a stalled server holds an upload, the memory an upload of 200 MB takes
# (streamed from the file), and the progress messages each phase sends to the window.
if(TARGET zelk_delivery AND TARGET zelk_test_support)
  add_executable(delivery_web_bench DeliveryWebBench.cpp)
  target_include_directories(delivery_web_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_web_bench PRIVATE zelk_delivery zelk_test_support benchmark::benchmark)
endif()
