# Internal layers are hidden in the shared library; their tests link the internal archive.
vek_add_test(test_text test_text.cpp LIBS vek_nats_internal)
target_compile_definitions(test_text PRIVATE VEK_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
vek_add_test(test_log test_log.cpp LIBS vek_nats_internal)
