list(APPEND test_labels threads)
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(test_feed PRIVATE PkgConfig::CPP_HTTPLIB)
