# The session layers' tests run the whole unlock road, so they share the coordinator tests'
# machine; and they check passwords through pam_wrapper and pam_matrix, never a real account
# (pam_preload.cpp starts the executable again with pam_wrapper preloaded). Every test has a
# time limit.
target_sources(tests_${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/coordinator/coordinator_fixture.cpp")
find_library(PAM_WRAPPER_LIBRARY pam_wrapper REQUIRED)
target_compile_definitions(tests_${name} PRIVATE QUORVEL_PAM_WRAPPER="${PAM_WRAPPER_LIBRARY}")
set(test_properties TIMEOUT 120)
