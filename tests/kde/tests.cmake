# KDE Plasma's real lock screen: the shipped program in a nested kwin_wayland (support/
# nested_kwin.hpp) whose screen locker follows logind (python3-dbusmock). The recordings are
# made and the face enrolled with the coordinator tests' machine (the real detector and
# network); the program checks the password through pam_wrapper, preloaded into it alone. The
# screen is read from the X server itself (screen_grab.hpp).
target_sources(tests_${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/coordinator/coordinator_fixture.cpp")
find_library(PAM_WRAPPER_LIBRARY pam_wrapper REQUIRED)
find_library(XCB_LIBRARY xcb REQUIRED)
target_link_libraries(tests_${name} PRIVATE "${XCB_LIBRARY}")
target_compile_definitions(tests_${name} PRIVATE QUORVEL_PAM_WRAPPER="${PAM_WRAPPER_LIBRARY}")
add_dependencies(tests_${name} quorvel)
set(test_properties TIMEOUT 180)
# Whole programs against a real compositor: scripts/test runs them; the sanitized build, where
# the program's recognition runs many times slower, leaves them out.
if(QUORVEL_SANITIZE)
  set(test_properties DISABLED TRUE)
endif()
