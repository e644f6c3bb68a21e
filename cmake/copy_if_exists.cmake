# cmake -DSOURCE=file -DDESTINATION=folder -P copy_if_exists.cmake
if(EXISTS "${SOURCE}")
  file(MAKE_DIRECTORY "${DESTINATION}")
  file(COPY "${SOURCE}" DESTINATION "${DESTINATION}")
endif()
