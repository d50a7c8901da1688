# The camera package: the application home as the programs expect it.
# The stand-in SDK is a separate simulator component, never part of the camera package.
install(TARGETS Ombrelle RUNTIME DESTINATION . COMPONENT camera)
install(TARGETS coreprobe RUNTIME DESTINATION . COMPONENT camera)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/app/feed_update DESTINATION . COMPONENT camera)
install(TARGETS feed_mqtt RUNTIME DESTINATION . COMPONENT camera)
install(FILES ${PROJECT_SOURCE_DIR}/app/html/configparams.xml ${PROJECT_SOURCE_DIR}/app/html/xivelyconfig.xml
        DESTINATION html COMPONENT camera)
# The settings page: program files, replaced on every upgrade (the XML files above are the user's).
install(FILES ${PROJECT_SOURCE_DIR}/app/html/index.html ${PROJECT_SOURCE_DIR}/app/html/settings.css
              ${PROJECT_SOURCE_DIR}/app/html/settings.js ${PROJECT_SOURCE_DIR}/app/html/platform.js
        DESTINATION html COMPONENT camera)
if(OMBRELLE_STANDIN_SDK)
  install(TARGETS sdk LIBRARY DESTINATION simulator/lib COMPONENT simulator)
endif()

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME Ombrelle)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL camera)
set(CPACK_PACKAGE_FILE_NAME "Ombrelle-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_ARCHIVE_CAMERA_FILE_NAME "Ombrelle-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
include(CPack)
