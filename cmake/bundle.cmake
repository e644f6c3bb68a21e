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

# The personal-use model is fetched (scripts/fetch-developer-model) into a git-ignored folder
# of its own; only developer builds copy it.
set(QUORVEL_DEVELOPER_RESOURCES_DIR "${PROJECT_SOURCE_DIR}/DeveloperResources")
set(QUORVEL_DEVELOPER_RESOURCE_FILES)
if(QUORVEL_DEVELOPER_BUILD)
  file(GLOB_RECURSE QUORVEL_DEVELOPER_RESOURCE_FILES CONFIGURE_DEPENDS
       "${QUORVEL_DEVELOPER_RESOURCES_DIR}/*.mlpackage/*")
  if(NOT EXISTS "${QUORVEL_DEVELOPER_RESOURCES_DIR}/VavozuDare.mlpackage")
    message(WARNING "Developer build without ${QUORVEL_DEVELOPER_RESOURCES_DIR}/VavozuDare.mlpackage: "
                    "run scripts/fetch-developer-model (or QUORVEL_DEVELOPER_BUILD=1 scripts/setup)")
  endif()
endif()

set(bundle_commands
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${QUORVEL_BUNDLE_DIR}/Resources")
if(EXISTS "${QUORVEL_RESOURCES_DIR}")
  list(APPEND bundle_commands
    COMMAND "${CMAKE_COMMAND}" -E copy_directory "${QUORVEL_RESOURCES_DIR}"
            "${QUORVEL_BUNDLE_DIR}/Resources")
endif()
# GNOME Shell's overlay extension: each variant's folder in the bundle is the whole extension,
# ready to be copied into the user's extension folder, so the frame host both share goes into
# each.
set(QUORVEL_GNOME_EXTENSION_DIR "${QUORVEL_RESOURCES_DIR}/gnome-shell-extension")
foreach(variant shell-43 shell-45)
  list(APPEND bundle_commands
    COMMAND "${CMAKE_COMMAND}" -E copy "${QUORVEL_GNOME_EXTENSION_DIR}/host.js"
            "${QUORVEL_BUNDLE_DIR}/Resources/gnome-shell-extension/${variant}/host.js")
endforeach()
if(QUORVEL_DEVELOPER_BUILD)
  foreach(item ${QUORVEL_DEVELOPER_ONLY_RESOURCES})
    if(EXISTS "${QUORVEL_DEVELOPER_RESOURCES_DIR}/${item}")
      list(APPEND bundle_commands
        COMMAND "${CMAKE_COMMAND}" -E rm -rf "${QUORVEL_BUNDLE_DIR}/Resources/${item}"
        COMMAND "${CMAKE_COMMAND}" -E copy_directory "${QUORVEL_DEVELOPER_RESOURCES_DIR}/${item}"
                "${QUORVEL_BUNDLE_DIR}/Resources/${item}")
    endif()
  endforeach()
else()
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
  DEPENDS ${QUORVEL_RESOURCE_FILES} ${QUORVEL_DEVELOPER_RESOURCE_FILES}
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
