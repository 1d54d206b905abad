# Packages (cpack, or `cmake --build BUILD --target package`):
#  - Linux: lumivora-tool_VERSION_ARCH.deb, the vendor tool and its manual
#    page, with its library dependencies found by dpkg-shlibdeps; and
#    lumivora-kit-VERSION-linux.tar.gz, the product folder the vendor gives
#    to users.
#  - Windows (the mingw-w64 build): lumivora-kit-VERSION-windows.zip.
# The kit is a product folder, Lumivora/: the launcher as configured by this build's
# LUMIVORA_* values, the sample main program's pack (to be replaced by the
# vendor's own) and a README for the users.
# A build whose launcher trusts the demo-only root key makes no package unless
# it was configured with LUMIVORA_ALLOW_DEMO_KEY=ON (PackagingGenerator.cmake
# refuses it when cpack runs).
set(CPACK_LUMIVORA_TRUSTS_DEMO_KEY ${LUMIVORA_TRUSTS_DEMO_KEY})
set(CPACK_LUMIVORA_ALLOW_DEMO_KEY ${LUMIVORA_ALLOW_DEMO_KEY})
set(CPACK_PACKAGE_NAME lumivora)
set(CPACK_PACKAGE_VENDOR "Lumivora")
set(CPACK_PACKAGE_CONTACT "Lumivora maintainers <lumivora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "vendor tool of the ${LUMIVORA_PRODUCT_NAME} launcher (identity ${LUMIVORA_PRODUCT_IDENTITY})")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
# The tool is configured as the launcher of its build (identity, pack
# password): the package's summary names the product and identity. A product other than the
# default one also names the package, lumivora-tool-<product> (lower case,
# "_" as "-"); every such package installs /usr/bin/lumivora-tool, so they
# exclude one another.
if(LUMIVORA_PRODUCT_NAME STREQUAL "Lumivora")
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME lumivora-tool)
else()
  string(TOLOWER "lumivora-tool-${LUMIVORA_PRODUCT_NAME}" LUMIVORA_TOOL_PACKAGE)
  string(REPLACE "_" "-" CPACK_DEBIAN_TOOL_PACKAGE_NAME "${LUMIVORA_TOOL_PACKAGE}")
  set(CPACK_DEBIAN_TOOL_PACKAGE_PROVIDES lumivora-tool)
  set(CPACK_DEBIAN_TOOL_PACKAGE_CONFLICTS lumivora-tool)
endif()
set(CPACK_DEBIAN_TOOL_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "lumivora-tool makes the packs that the ${LUMIVORA_PRODUCT_NAME} launcher starts programs
from, lists, tests and extracts ZIP archives, signs update releases and
enciphers the launcher's configuration texts. This build is configured for
the product ${LUMIVORA_PRODUCT_NAME}: its certificates and releases name the
identity ${LUMIVORA_PRODUCT_IDENTITY}, and it packs and checks with that
build's pack password, unless --product and -P name others.")

set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_KIT_FILE_NAME lumivora-kit-${PROJECT_VERSION}-windows)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_ARCHIVE_KIT_FILE_NAME lumivora-kit-${PROJECT_VERSION}-linux)
endif()
# The Debian package holds the tool, the archives the kit.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingGenerator.cmake)
include(CPack)
