pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(test_app PRIVATE PkgConfig::CPP_HTTPLIB)
# Only the test that runs the program learns where it is: an absolute path on every compile line
# would keep ccache from reusing the other objects in another checkout.
set_source_files_properties(${dir}/Headless_test.cpp PROPERTIES
  COMPILE_DEFINITIONS "TARNWICK_BINARY=\"$<TARGET_FILE:tarnwick>\"")
