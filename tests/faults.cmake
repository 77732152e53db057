# Reliability under faults, load and concurrency; sanitizer builds take smaller counts.
vek_add_test(test_teardown test_teardown.cpp)
target_compile_definitions(test_teardown PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown})

# The queue-group members run as the example replier, one process each.
if(TARGET vek_nats_example_replier)
    vek_add_test(test_faults test_faults.cpp)
    target_compile_definitions(test_faults PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown}
        EXAMPLE_DIR="$<TARGET_FILE_DIR:vek_nats_example_replier>")
    add_dependencies(test_faults vek_nats_example_replier)
endif()
