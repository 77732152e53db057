# Reliability under faults, load and concurrency.

# Sanitizer builds run the same scenarios with smaller counts.
set(vek_fault_slowdown 1)
if(VEK_NATS_SANITIZE STREQUAL "address")
    set(vek_fault_slowdown 2)
elseif(VEK_NATS_SANITIZE STREQUAL "thread")
    set(vek_fault_slowdown 10)
endif()

function(vek_fault_target name)
    target_compile_definitions(${name} PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown})
endfunction()

add_executable(vek_log_writer log_writer.cpp)
target_link_libraries(vek_log_writer PRIVATE vek_nats)
target_compile_options(vek_log_writer PRIVATE ${VEK_NATS_WARNINGS})

vek_add_test(test_log_contention test_log_contention.cpp)
target_compile_definitions(test_log_contention PRIVATE LOG_WRITER="$<TARGET_FILE:vek_log_writer>")
add_dependencies(test_log_contention vek_log_writer)

vek_add_test(test_teardown test_teardown.cpp)
vek_fault_target(test_teardown)

vek_add_test(test_fault_server test_fault_server.cpp)
vek_fault_target(test_fault_server)

vek_add_test(test_fault_cluster test_fault_cluster.cpp)
vek_fault_target(test_fault_cluster)

vek_add_test(test_fault_slow_consumer test_fault_slow_consumer.cpp)
vek_fault_target(test_fault_slow_consumer)

vek_add_test(test_soak test_soak.cpp)
vek_fault_target(test_soak)

# Queue groups; the replier members run as the example program, one process each.
if(TARGET vek_nats_example_replier AND TARGET vek_nats_example_requestor)
    vek_add_test(test_queue_groups test_queue_groups.cpp)
    vek_fault_target(test_queue_groups)
    target_compile_definitions(test_queue_groups PRIVATE
        EXAMPLE_DIR="$<TARGET_FILE_DIR:vek_nats_example_replier>")
    add_dependencies(test_queue_groups vek_nats_example_replier vek_nats_example_requestor)
endif()
