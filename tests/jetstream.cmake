# Streams and durable consumers against JetStream servers, and the stream actions of the
# command-line program.
if(TARGET vek-nats)
    vek_add_test(test_jetstream test_jetstream.cpp LIBS vek_nats_internal)
    target_compile_definitions(test_jetstream PRIVATE VEK_FAULT_SLOWDOWN=${vek_fault_slowdown}
        VEK_NATS_CLI="$<TARGET_FILE:vek-nats>")
    add_dependencies(test_jetstream vek-nats)
endif()
