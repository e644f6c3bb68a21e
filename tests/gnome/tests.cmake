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
# The overlay's tests drive the shipped program, with the extension from its bundle.
add_dependencies(tests_${name} quorvel quorvel_bundle_resources)
# The extension's variant for GNOME Shell 45 and later, which no shell here runs, loaded by
# Node.js with stand-ins for the shell's modules (extension_check.mjs).
find_program(QUORVEL_NODE node)
add_test(NAME GnomeShellExtension.TheVariantForGnomeShell45AndLaterLoadsShowsAFrameAndUnloads
  COMMAND "${QUORVEL_NODE}" "${CMAKE_CURRENT_LIST_DIR}/extension_check.mjs"
          "${QUORVEL_BUNDLE_DIR}/Resources/gnome-shell-extension")
