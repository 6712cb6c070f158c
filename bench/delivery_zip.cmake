# Packing a 50 MB log into the report archive, with and without a password: time and peak memory.
if(TARGET zelk_delivery AND TARGET delivery_log_samples)
  add_executable(delivery_zip_bench DeliveryZipBench.cpp)
  target_include_directories(delivery_zip_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_zip_bench PRIVATE zelk_delivery delivery_log_samples)
endif()
