# Request and reply: requestor, replier (queue and synchronous), and the example programs.
vek_add_test(test_requestor test_requestor.cpp)
vek_add_test(test_replier test_replier.cpp)
vek_add_test(test_replier_sync test_replier_sync.cpp)
if(TARGET vek_nats_example_replier AND TARGET vek_nats_example_requestor)
    vek_add_test(test_examples test_examples.cpp)
    target_compile_definitions(test_examples PRIVATE
        EXAMPLE_DIR="$<TARGET_FILE_DIR:vek_nats_example_replier>")
    add_dependencies(test_examples vek_nats_example_replier vek_nats_example_requestor)
endif()
