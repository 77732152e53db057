# Reliability under faults, load and concurrency; sanitizer builds take smaller counts.
vek_add_test(test_teardown test_teardown.cpp)
target_compile_definitions(test_teardown PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown})
vek_add_test(test_faults test_faults.cpp)
target_compile_definitions(test_faults PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown})
