# The log file: open, search, add and save on logs of 32 and 1000 large reports, and the XML
# export, with the peak of heap memory each takes.
if(TARGET zelk_delivery AND TARGET delivery_log_samples)
  add_executable(delivery_log_bench DeliveryLogBench.cpp)
  target_include_directories(delivery_log_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_log_bench PRIVATE zelk_delivery delivery_log_samples benchmark::benchmark)
endif()
