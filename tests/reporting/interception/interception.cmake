# The interception points, in child programs.
add_library(interception_plugin MODULE ExceptionLog_plugin.cpp)
add_executable(interception_child ExceptionLog_child.cpp)
target_include_directories(interception_child PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(interception_child PRIVATE zelk_reporting_interception)
set_target_properties(interception_child PROPERTIES ENABLE_EXPORTS ON)
target_compile_definitions(interception_child PRIVATE INTERCEPTION_PLUGIN="$<TARGET_FILE:interception_plugin>")
tarvex_embed_options(interception_child ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
add_dependencies(interception_child interception_plugin)

zelk_add_test(reporting_interception_tests
  SOURCES ExceptionLog_test.cpp ../TestSupport.cpp
  DEPS zelk_reporting_interception zelk_test_support)
add_dependencies(reporting_interception_tests interception_child)
target_compile_definitions(reporting_interception_tests PRIVATE INTERCEPTION_CHILD="$<TARGET_FILE:interception_child>")

# A shared object with its own hidden copy of the layer, which forwards to the program's.
add_library(interception_forwarding MODULE ExceptionLog_forwarding.cpp)
target_include_directories(interception_forwarding PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(interception_forwarding PRIVATE zelk_reporting_interception)
target_link_options(interception_forwarding PRIVATE -Wl,--exclude-libs,ALL)
tarvex_embed_options(interception_forwarding ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
add_dependencies(interception_child interception_forwarding)
target_compile_definitions(interception_child PRIVATE FORWARDING_PLUGIN="$<TARGET_FILE:interception_forwarding>")

# Qt: a QThread and the application object's dispatch wrapper.
if(ZELK_BUILD_GUI)
  add_executable(interception_qt_child ExceptionLog_qt_child.cpp)
  target_include_directories(interception_qt_child PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(interception_qt_child PRIVATE zelk_reporting_interception zelk_runtime_gui)
  tarvex_embed_options(interception_qt_child ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
  add_dependencies(reporting_interception_tests interception_qt_child)
  target_compile_definitions(reporting_interception_tests PRIVATE
    INTERCEPTION_QT_CHILD="$<TARGET_FILE:interception_qt_child>")
endif()
