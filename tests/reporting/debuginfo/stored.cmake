# The stored debug block. The fixture program is linked four times from the same objects, so
# that every copy carries the same code: plain -g, with the stored block, stripped with the
# block, and with the block's names enciphered.
include(TarvexOptions)

add_library(stored_fixture_objects OBJECT stored_fixture.cpp)
target_compile_options(stored_fixture_objects PRIVATE -g -O2)
foreach(_kind plain info stripped secret)
  add_executable(stored_fixture_${_kind} $<TARGET_OBJECTS:stored_fixture_objects>)
  target_link_options(stored_fixture_${_kind} PRIVATE -Wl,--build-id)
endforeach()
set(_stored_options ${CMAKE_CURRENT_SOURCE_DIR}/../probe-options.tlt)
tarvex_embed_options(stored_fixture_info ${_stored_options} DEBUG_INFO)
tarvex_embed_options(stored_fixture_stripped ${_stored_options} DEBUG_INFO STRIP)
tarvex_embed_options(stored_fixture_secret ${_stored_options} APPEND DEBUG_INFO DEBUG_PASSWORD "fixture secret")

zelk_add_test(reporting_stored_tests
  SOURCES EDebugStored_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/../TestSupport.cpp
  DEPS zelk_reporting_stored_build zelk_reporting zelk_test_support)
add_dependencies(reporting_stored_tests stored_fixture_plain stored_fixture_info stored_fixture_stripped
                 stored_fixture_secret)
target_compile_definitions(reporting_stored_tests PRIVATE
  STORED_FIXTURE_PLAIN="$<TARGET_FILE:stored_fixture_plain>"
  STORED_FIXTURE_INFO="$<TARGET_FILE:stored_fixture_info>"
  STORED_FIXTURE_STRIPPED="$<TARGET_FILE:stored_fixture_stripped>"
  STORED_FIXTURE_SECRET="$<TARGET_FILE:stored_fixture_secret>")
