# The open-hand cancel runs the unlock road on the coordinator tests' machine.
target_sources(tests_${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/coordinator/coordinator_fixture.cpp")
