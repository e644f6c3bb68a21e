# The unlock road against GNOME Shell's own lock screen in a nested gnome-shell
# (support/nested_gnome_shell.hpp). Like the session layers' tests it runs the coordinator's
# machine and checks passwords through pam_wrapper and pam_matrix (pam_preload.cpp starts the
# executable again with pam_wrapper preloaded).
target_sources(tests_${name} PRIVATE
  "${PROJECT_SOURCE_DIR}/tests/coordinator/coordinator_fixture.cpp"
  "${PROJECT_SOURCE_DIR}/tests/session/pam_preload.cpp")
find_library(PAM_WRAPPER_LIBRARY pam_wrapper REQUIRED)
target_compile_definitions(tests_${name} PRIVATE QUORVEL_PAM_WRAPPER="${PAM_WRAPPER_LIBRARY}")
set(test_properties TIMEOUT 240)
