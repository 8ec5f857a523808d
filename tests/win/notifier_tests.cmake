# Tests of the notifier program and its start from the extension.
qv_test(notifier_test SOURCES notifier_test.cpp LIBS qv_test_support qv_fake_server qv_notifier
        CONCURRENT InProcessNotifier.*)
qv_test(handover_test SOURCES handover_test.cpp LIBS qv_appstub_process qv_fake_server qv_link qv_notifier)
add_dependencies(handover_test Tavrel appstub)

# The version resources of both deliverables, as Windows reads them.
qv_test(version_resource_test SOURCES version_resource_test.cpp LIBS qv_test_support version)
target_compile_definitions(version_resource_test PRIVATE "QV_VERSION=L\"${QV_VERSION}\"")
add_dependencies(version_resource_test compreh Tavrel)
