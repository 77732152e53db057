# The command-line program, run as a child process against private servers.
if(TARGET vek-nats)
    vek_add_test(test_cli test_cli.cpp)
    target_compile_definitions(test_cli PRIVATE VEK_NATS_CLI="$<TARGET_FILE:vek-nats>")
    add_dependencies(test_cli vek-nats)
endif()
# Secured connections against servers made from data/security: a CA with server and client
# certificates (openssl, valid for a century), a user NKey, and operator, account and user JWTs
# without expiry (signed with openssl's Ed25519, encoded as NATS keys).
vek_add_test(test_security test_security.cpp LIBS vek_nats_internal)
target_compile_definitions(test_security PRIVATE
    VEK_SECURITY_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/security"
    VEK_FAULT_SLOWDOWN=${vek_fault_slowdown})
# Installs the build tree into a scratch prefix and builds outside consumers against it.
# Not in sanitizer builds: an uninstrumented consumer cannot load an instrumented library.
if(VEK_NATS_SANITIZE STREQUAL "")
    vek_add_test(test_package test_package.cpp)
    target_compile_definitions(test_package PRIVATE
        VEK_BINARY_DIR="${PROJECT_BINARY_DIR}"
        VEK_PACKAGE_SOURCE="${CMAKE_CURRENT_SOURCE_DIR}/package")
endif()
