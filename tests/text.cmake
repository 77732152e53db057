# Text helpers and bcrypt never write to the debug log: no lock needed.
vek_add_test(test_text test_text.cpp)

# The internal bcrypt layer is hidden in the shared library, so its source is built in as well.
vek_add_test(test_bcrypt test_bcrypt.cpp ${PROJECT_SOURCE_DIR}/src/internal/bcrypt.cpp
             LIBS ${LIBCRYPT_LIBRARY})
target_compile_definitions(test_bcrypt PRIVATE
    VEK_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
