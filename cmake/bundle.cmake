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

# The update configuration (Resources/Updates.json, read by Sources/platform/updater): the
# version this build reports, the address of its signed update feed and the Ed25519 public
# key that signs the feed and the archives, and optionally a PEM file of the only certificate
# authorities the update connections trust. A build without a feed or key has an updater
# that does not start, and says why when asked to check.
set(QUORVEL_VERSION "1.0.0" CACHE STRING "The version of this build (dotted numbers)")
set(QUORVEL_UPDATE_FEED_URL "" CACHE STRING "The https:// address of the signed update feed")
set(QUORVEL_UPDATE_PUBLIC_KEY "" CACHE STRING "The update signing key: Base64 of the 32-byte Ed25519 public key")
set(QUORVEL_UPDATE_TRUSTED_CERTIFICATES "" CACHE FILEPATH
    "Optional PEM file: the only certificate authorities trusted for updates")
if(NOT QUORVEL_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "QUORVEL_VERSION must be dotted numbers, not \"${QUORVEL_VERSION}\"")
endif()
if(QUORVEL_UPDATE_FEED_URL AND NOT QUORVEL_UPDATE_FEED_URL MATCHES "^https://[^/\"\\\\ ][^\"\\\\ ]*$")
  message(FATAL_ERROR "QUORVEL_UPDATE_FEED_URL must be an https:// address, not \"${QUORVEL_UPDATE_FEED_URL}\"")
endif()
if(QUORVEL_UPDATE_PUBLIC_KEY AND NOT QUORVEL_UPDATE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+=*$")
  message(FATAL_ERROR "QUORVEL_UPDATE_PUBLIC_KEY must be Base64, not \"${QUORVEL_UPDATE_PUBLIC_KEY}\"")
endif()
set(update_certificates_entry "")
set(update_commands)
if(QUORVEL_UPDATE_TRUSTED_CERTIFICATES)
  if(NOT EXISTS "${QUORVEL_UPDATE_TRUSTED_CERTIFICATES}")
    message(FATAL_ERROR "QUORVEL_UPDATE_TRUSTED_CERTIFICATES: no file ${QUORVEL_UPDATE_TRUSTED_CERTIFICATES}")
  endif()
  set(update_certificates_entry ",\n  \"trustedCertificates\": \"UpdateCertificates.pem\"")
  list(APPEND update_commands
    COMMAND "${CMAKE_COMMAND}" -E copy "${QUORVEL_UPDATE_TRUSTED_CERTIFICATES}"
            "${QUORVEL_BUNDLE_DIR}/Resources/UpdateCertificates.pem")
endif()
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/Updates.json" CONTENT
"{
  \"version\": \"${QUORVEL_VERSION}\",
  \"feedURL\": \"${QUORVEL_UPDATE_FEED_URL}\",
  \"publicKey\": \"${QUORVEL_UPDATE_PUBLIC_KEY}\"${update_certificates_entry}
}
")
add_custom_command(
  OUTPUT "${QUORVEL_BUNDLE_DIR}/Resources/Updates.json"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${QUORVEL_BUNDLE_DIR}/Resources"
  COMMAND "${CMAKE_COMMAND}" -E rm -f "${QUORVEL_BUNDLE_DIR}/Resources/UpdateCertificates.pem"
  ${update_commands}
  COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_BINARY_DIR}/Updates.json" "${QUORVEL_BUNDLE_DIR}/Resources/Updates.json"
  DEPENDS "${PROJECT_BINARY_DIR}/Updates.json" ${QUORVEL_UPDATE_TRUSTED_CERTIFICATES}
  COMMENT "Writing the update configuration into ${QUORVEL_BUNDLE_DIR}"
  VERBATIM)
add_custom_target(quorvel_bundle_updates ALL DEPENDS "${QUORVEL_BUNDLE_DIR}/Resources/Updates.json")
add_dependencies(quorvel_bundle_updates quorvel_bundle_resources)
