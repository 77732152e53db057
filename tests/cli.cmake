# The command-line program, run as a child process against a private server.
if(TARGET vek-nats)
    vek_add_test(test_cli test_cli.cpp)
    target_compile_definitions(test_cli PRIVATE VEK_NATS_CLI="$<TARGET_FILE:vek-nats>")
    add_dependencies(test_cli vek-nats)
endif()
