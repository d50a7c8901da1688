# The camera SDK: the vendor's libsdk when its directories are given, else the stand-in.
if(OMBRELLE_SDK_INCLUDE_DIR)
  find_library(OMBRELLE_VENDOR_SDK sdk PATHS ${OMBRELLE_SDK_LIBRARY_DIR} NO_DEFAULT_PATH REQUIRED)
  add_library(sdk SHARED IMPORTED GLOBAL)
  set_target_properties(sdk PROPERTIES
    IMPORTED_LOCATION ${OMBRELLE_VENDOR_SDK}
    INTERFACE_INCLUDE_DIRECTORIES ${OMBRELLE_SDK_INCLUDE_DIR})
  set(OMBRELLE_STANDIN_SDK OFF)
else()
  add_subdirectory(sdk)
  set(OMBRELLE_STANDIN_SDK ON)
endif()
