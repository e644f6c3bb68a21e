# The shipped program on the stand-in desktop: the executable, pam_wrapper for its PAM, and a
# time limit. Under the sanitizers the program would crawl through its enrolment: the
# end-to-end tests run in the normal build only.
add_dependencies(tests_${name} quorvel)
find_library(PAM_WRAPPER_LIBRARY pam_wrapper REQUIRED)
target_compile_definitions(tests_${name} PRIVATE QUORVEL_PAM_WRAPPER="${PAM_WRAPPER_LIBRARY}")
if(QUORVEL_SANITIZE)
  set(test_properties DISABLED TRUE)
else()
  set(test_properties TIMEOUT 300)
endif()

# The same stand-in for a person to watch the program in (scripts/stand-in-desktop).
add_executable(stand_in_desktop "${PROJECT_SOURCE_DIR}/tools/stand-in-desktop/stand_in_desktop.cpp")
target_link_libraries(stand_in_desktop PRIVATE quorvel_test_support)
target_compile_definitions(stand_in_desktop PRIVATE QUORVEL_PAM_WRAPPER="${PAM_WRAPPER_LIBRARY}")
target_compile_options(stand_in_desktop PRIVATE ${QUORVEL_WARNINGS})
add_dependencies(stand_in_desktop quorvel)
