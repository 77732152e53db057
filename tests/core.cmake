# The service core and the four roles.
vek_add_test(test_core test_core.cpp LIBS vek_nats_internal)
