# Read by cpack once per generator. A launcher that trusts the demo-only root
# key is not packaged unless the build allowed it.
if(CPACK_LUMIVORA_TRUSTS_DEMO_KEY AND NOT CPACK_LUMIVORA_ALLOW_DEMO_KEY)
  message(FATAL_ERROR "Refused: this build's launcher trusts the DEMO-ONLY root key, whose "
                      "secret half is public. Configure with your own "
                      "-DLUMIVORA_UPDATE_ROOT_KEYS (docs/vendor-guide.md, section 1), or with "
                      "-DLUMIVORA_ALLOW_DEMO_KEY=ON for a package meant for the demo and tests.")
endif()
# Which components each package holds.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL tool)
else()
  set(CPACK_COMPONENTS_ALL kit)
endif()
