pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(test_app PRIVATE PkgConfig::CPP_HTTPLIB)
