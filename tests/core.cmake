vek_add_test(test_log test_log.cpp)
vek_add_test(test_lifecycle test_lifecycle.cpp)
