# Internal layers are hidden in the shared library; their tests compile them in.
vek_add_test(test_log test_log.cpp ${PROJECT_SOURCE_DIR}/src/internal/tolk_exec.cpp)
vek_add_test(test_security test_security.cpp ${PROJECT_SOURCE_DIR}/src/internal/urls.cpp)
# Installs the build tree into a scratch prefix and builds an outside consumer against it.
# Not in sanitizer builds: an uninstrumented consumer cannot load an instrumented library.
if(VEK_NATS_SANITIZE STREQUAL "")
    vek_add_test(test_package test_package.cpp)
    target_compile_definitions(test_package PRIVATE
        VEK_BINARY_DIR="${PROJECT_BINARY_DIR}"
        VEK_PACKAGE_SOURCE="${CMAKE_CURRENT_SOURCE_DIR}/package")
endif()
# The service core and the four roles.
vek_add_test(test_core test_core.cpp)
