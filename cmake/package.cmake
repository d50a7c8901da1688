# The camera package: the application home as the programs expect it.
#
# Settings survive upgrades (docs/INSTALL.md gives the owner and mode of every path). The configuration files ship as html/NAME.default;
# `setup` copies each to html/NAME only where no such file exists. The install
# step below runs it; after extracting the tarball the integrator runs it. The
# feed spool (spool/) and the endpoint file (feed_url) are never shipped.
#
# The stand-in SDK is the simulator component: neither a plain install nor the
# tarball contains it.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS Ombrelle coreprobe feed_update RUNTIME DESTINATION . COMPONENT camera)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/app/setup
        DESTINATION . COMPONENT camera)
install(FILES ${PROJECT_SOURCE_DIR}/app/html/configparams.xml
        DESTINATION html RENAME configparams.xml.default COMPONENT camera)
install(FILES ${PROJECT_SOURCE_DIR}/app/html/xivelyconfig.xml
        DESTINATION html RENAME xivelyconfig.xml.default COMPONENT camera)
# The settings page: code that runs in the operator's browser, so it lives in www/, which
# only root writes, apart from the settings in html/. Replaced on every upgrade.
install(FILES ${PROJECT_SOURCE_DIR}/app/www/index.html ${PROJECT_SOURCE_DIR}/app/www/settings.css
              ${PROJECT_SOURCE_DIR}/app/www/settings.js ${PROJECT_SOURCE_DIR}/app/www/platform.js
        DESTINATION www COMPONENT camera)

# What the package was built from, above all which camera SDK.
file(SHA256 ${OMBRELLE_SDK_HEADER} OMBRELLE_SDK_HEADER_SHA256)
if(OMBRELLE_STANDIN_SDK)
  set(OMBRELLE_SDK_TEXT "the stand-in libsdk of this source tree (sdk/), NOT the camera vendor's.
Ombrelle needs libsdk.so.standin, which no camera provides: this build is for
tests and the simulated camera. For a camera, build against the vendor's SDK.")
  set(OMBRELLE_PACKAGE_SUFFIX "-standin-sdk")
else()
  set(OMBRELLE_SDK_TEXT "the camera vendor's libsdk, ${OMBRELLE_VENDOR_SDK}")
  set(OMBRELLE_PACKAGE_SUFFIX "")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/build-info
"Ombrelle ${PROJECT_VERSION} for ${CMAKE_SYSTEM_PROCESSOR} (${CMAKE_SYSTEM_NAME}), ${CMAKE_BUILD_TYPE} build
Compiler: ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}
Camera SDK: ${OMBRELLE_SDK_TEXT}
SDK header: ${OMBRELLE_SDK_HEADER}
SDK header SHA-256: ${OMBRELLE_SDK_HEADER_SHA256}
")
install(FILES ${CMAKE_BINARY_DIR}/build-info DESTINATION . COMPONENT camera)

# Last step of the component: the defaults go in place where no settings exist, with the
# owners and modes setup gives (Ombrelle's user from OMBRELLE_USER, the saver from
# OMBRELLE_SAVER in the environment of the install, when set).
# CPack's staging for the tarball is marked by package-staging.cmake and skipped.
install(CODE [[
  if(NOT "$ENV{OMBRELLE_PACKAGING}")
    set(setup_args "")
    if(NOT "$ENV{OMBRELLE_USER}" STREQUAL "")
      list(APPEND setup_args --user "$ENV{OMBRELLE_USER}")
    endif()
    if(NOT "$ENV{OMBRELLE_SAVER}" STREQUAL "")
      list(APPEND setup_args --saver "$ENV{OMBRELLE_SAVER}")
    endif()
    execute_process(COMMAND sh "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/setup" ${setup_args} RESULT_VARIABLE setup_result)
    if(NOT setup_result EQUAL 0)
      message(FATAL_ERROR "setup could not put the default configuration in place")
    endif()
  endif()
]] COMPONENT camera)

if(OMBRELLE_STANDIN_SDK)
  install(TARGETS sdk LIBRARY DESTINATION simulator/lib COMPONENT simulator EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME Ombrelle)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL camera)
set(CPACK_PACKAGE_FILE_NAME "Ombrelle-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}${OMBRELLE_PACKAGE_SUFFIX}")
set(CPACK_ARCHIVE_CAMERA_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_INSTALL_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-staging.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-owner.cmake)
include(CPack)
