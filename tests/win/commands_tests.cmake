# Tests of the command tree over the wire, command dispatch and the application start.

# Started by the tests in place of the application program; it writes down how it was started.
add_executable(recorder recorder.cpp)
target_link_options(recorder PRIVATE -municode)
target_link_libraries(recorder PRIVATE shell32)

qv_test(commands_test SOURCES commands_test.cpp LIBS qv_appstub_process qv_fake_server qv_link shell32)
add_dependencies(commands_test recorder)
