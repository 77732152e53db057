# Internal layers are hidden in the shared library; their tests link the internal archive.
vek_add_test(test_text test_text.cpp LIBS vek_nats_internal)
vek_add_test(test_log test_log.cpp LIBS vek_nats_internal)
