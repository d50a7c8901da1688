# The camera SDK: the vendor's libsdk when its directories are given, else the stand-in.
# OMBRELLE_SDK_HEADER names the tsdk.h the build compiles against, for the package's build-info.
if(OMBRELLE_SDK_INCLUDE_DIR)
  set(OMBRELLE_SDK_HEADER ${OMBRELLE_SDK_INCLUDE_DIR}/tsdk.h)
  if(NOT EXISTS ${OMBRELLE_SDK_HEADER})
    message(FATAL_ERROR "OMBRELLE_SDK_INCLUDE_DIR has no tsdk.h: ${OMBRELLE_SDK_INCLUDE_DIR}")
  endif()
  # The directory is a path on the build machine, not under the cross toolchain's root.
  find_library(OMBRELLE_VENDOR_SDK sdk PATHS ${OMBRELLE_SDK_LIBRARY_DIR}
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_library(sdk SHARED IMPORTED GLOBAL)
  # Linked by name (-lsdk): a library without a soname would otherwise be needed
  # by its path on the build machine, which the camera does not have.
  set_target_properties(sdk PROPERTIES
    IMPORTED_LOCATION ${OMBRELLE_VENDOR_SDK}
    IMPORTED_NO_SONAME TRUE
    INTERFACE_INCLUDE_DIRECTORIES ${OMBRELLE_SDK_INCLUDE_DIR})
  set(OMBRELLE_STANDIN_SDK OFF)
else()
  add_subdirectory(sdk)
  set(OMBRELLE_SDK_HEADER ${PROJECT_SOURCE_DIR}/sdk/tsdk.h)
  set(OMBRELLE_STANDIN_SDK ON)
  # A build without tests for the camera's processor is a build meant for a camera.
  if(CMAKE_CROSSCOMPILING AND NOT OMBRELLE_TESTS)
    message(WARNING "This camera build uses the stand-in SDK of sdk/, not the camera vendor's libsdk. "
      "Its Ombrelle needs libsdk.so.standin, which no camera provides, and its package is named "
      "*-standin-sdk.tar.gz. For a camera, configure with "
      "-DOMBRELLE_SDK_INCLUDE_DIR=<dir of the vendor's tsdk.h> -DOMBRELLE_SDK_LIBRARY_DIR=<dir of its libsdk.so>.")
  endif()
endif()
