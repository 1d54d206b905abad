# Read by cpack once per generator: which components each package holds.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL tool)
else()
  set(CPACK_COMPONENTS_ALL kit)
endif()
