#The worker tests start the update worker; the race tests start child processes.
list(APPEND test_labels threads)
# A server of the tests' own that asks for a login.
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(test_links PRIVATE PkgConfig::CPP_HTTPLIB)
