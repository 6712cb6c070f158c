# SMTP delivery of a 10 MB archive over loopback (clear and STARTTLS) and the message encoding
# alone: time and the sending thread's peak heap.
if(TARGET zelk_delivery AND TARGET zelk_test_support)
  add_executable(delivery_email_bench DeliveryEmailBench.cpp)
  target_include_directories(delivery_email_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(delivery_email_bench PRIVATE zelk_delivery zelk_test_support benchmark::benchmark)
endif()
