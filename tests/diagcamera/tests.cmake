# The match test of "--diagnose-camera" runs on the coordinator tests' machine.
target_sources(tests_${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/coordinator/coordinator_fixture.cpp")
# It also runs the shipped executable's match test.
add_dependencies(tests_${name} quorvel)
