# Copies the project's Resources/ folder into the application bundle beside the
# executables (${QUORVEL_BUNDLE_DIR}/Resources) at build time. Included from the top-level
# CMakeLists.txt after QUORVEL_BUNDLE_DIR is set.
#
# Customer builds must not carry the personal-use recognition model: its forms are left
# out of the copy and removed from a bundle that an earlier developer build filled.

if(NOT DEFINED QUORVEL_BUNDLE_DIR)
  message(FATAL_ERROR "cmake/bundle.cmake needs QUORVEL_BUNDLE_DIR")
endif()

set(QUORVEL_RESOURCES_DIR "${PROJECT_SOURCE_DIR}/Resources")
set(QUORVEL_DEVELOPER_ONLY_RESOURCES VavozuDare.mlmodelc VavozuDare.mlpackage)

file(GLOB_RECURSE QUORVEL_RESOURCE_FILES CONFIGURE_DEPENDS "${QUORVEL_RESOURCES_DIR}/*")

set(bundle_commands
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${QUORVEL_BUNDLE_DIR}/Resources")
if(EXISTS "${QUORVEL_RESOURCES_DIR}")
  list(APPEND bundle_commands
    COMMAND "${CMAKE_COMMAND}" -E copy_directory "${QUORVEL_RESOURCES_DIR}"
            "${QUORVEL_BUNDLE_DIR}/Resources")
endif()
if(NOT QUORVEL_DEVELOPER_BUILD)
  foreach(item ${QUORVEL_DEVELOPER_ONLY_RESOURCES})
    list(APPEND bundle_commands
      COMMAND "${CMAKE_COMMAND}" -E rm -rf "${QUORVEL_BUNDLE_DIR}/Resources/${item}")
  endforeach()
endif()

# One stamp per flavour, inside the bundle: switching the flavour drops the other one, and a
# deleted bundle takes its stamp with it, so the copy (and the removal above) runs again.
if(QUORVEL_DEVELOPER_BUILD)
  set(bundle_stamp "${QUORVEL_BUNDLE_DIR}/.resources-developer.stamp")
  file(REMOVE "${QUORVEL_BUNDLE_DIR}/.resources-customer.stamp")
else()
  set(bundle_stamp "${QUORVEL_BUNDLE_DIR}/.resources-customer.stamp")
  file(REMOVE "${QUORVEL_BUNDLE_DIR}/.resources-developer.stamp")
endif()
add_custom_command(
  OUTPUT "${bundle_stamp}"
  ${bundle_commands}
  COMMAND "${CMAKE_COMMAND}" -E touch "${bundle_stamp}"
  DEPENDS ${QUORVEL_RESOURCE_FILES}
  COMMENT "Copying Resources into ${QUORVEL_BUNDLE_DIR}"
  VERBATIM)
add_custom_target(quorvel_bundle_resources ALL DEPENDS "${bundle_stamp}")

# The dlib weight file is made by scripts/make-dlib-weights (it is not in Resources/ because
# it is generated); copy it into the bundle whenever it exists or changed.
set(QUORVEL_DLIB_WEIGHTS "${PROJECT_SOURCE_DIR}/tools/convert/dlib_face_recognition_resnet_model_v1.dat")
add_custom_target(quorvel_bundle_weights ALL
  COMMAND "${CMAKE_COMMAND}" -DSOURCE=${QUORVEL_DLIB_WEIGHTS}
          -DDESTINATION=${QUORVEL_BUNDLE_DIR}/Resources
          -P "${PROJECT_SOURCE_DIR}/cmake/copy_if_exists.cmake"
  VERBATIM)
add_dependencies(quorvel_bundle_weights quorvel_bundle_resources)
