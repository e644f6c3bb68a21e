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
