# The dialogs under Xvfb: the helper's start and "shown" (the crash path waits for it), and a
# list of thousands of rows folded in the window.
if(TARGET zelk_reporting_ui AND TARGET tarvex-dialog)
  add_executable(reporting_ui_bench ReportingUiBench.cpp)
  target_include_directories(reporting_ui_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(reporting_ui_bench PRIVATE zelk_reporting_ui zelk_test_support benchmark::benchmark)
  target_compile_definitions(reporting_ui_bench PRIVATE TARVEX_DIALOG_PROGRAM="$<TARGET_FILE:tarvex-dialog>")
  add_dependencies(reporting_ui_bench tarvex-dialog)

  add_executable(dialog_list_bench DialogListBench.cpp)
  target_include_directories(dialog_list_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(dialog_list_bench PRIVATE tarvex_dialog_windows zelk_test_support benchmark::benchmark)
endif()
