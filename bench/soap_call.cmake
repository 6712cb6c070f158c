# The call path's parts apart: the transport alone, libcurl alone, a raw loopback round trip.
add_executable(soap_call_bench SoapCallBench.cpp)
target_include_directories(soap_call_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(soap_call_bench PRIVATE zelk_binding zelk_test_support benchmark::benchmark CURL::libcurl)
