# The authorization dialog on real components: polkitd on a private system bus, logind played
# by python3-dbusmock, Xvfb, an accessibility bus, and a stand-in for the desktop's polkit
# agent and its dialog (agent_dialog.cc); the probe switches run as the shipped executable.
# The two helper programs are built from .cc files, which the tests' glob leaves out.
find_package(Qt6 REQUIRED COMPONENTS DBus)
add_executable(quorvel_agent_dialog "${dir}/agent_dialog.cc")
target_link_libraries(quorvel_agent_dialog PRIVATE Qt6::Widgets Qt6::DBus)
target_compile_options(quorvel_agent_dialog PRIVATE ${QUORVEL_WARNINGS})
add_executable(quorvel_authorization_request "${dir}/authorization_request.cc")
target_link_libraries(quorvel_authorization_request PRIVATE quorvel_lib)
target_compile_options(quorvel_authorization_request PRIVATE ${QUORVEL_WARNINGS})
add_dependencies(tests_${name} quorvel_agent_dialog quorvel_authorization_request quorvel)
target_compile_definitions(tests_${name} PRIVATE
  QUORVEL_AGENT_DIALOG="$<TARGET_FILE:quorvel_agent_dialog>"
  QUORVEL_AUTHORIZATION_REQUEST="$<TARGET_FILE:quorvel_authorization_request>")
set(test_properties TIMEOUT 120)
