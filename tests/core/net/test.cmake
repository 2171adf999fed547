# Debian's cpp-httplib is a compiled library: its pkg-config entry brings the library and the
# same feature definitions (OpenSSL, zlib, brotli) it was built with, which every source that
# includes httplib.h must share.
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(test_net PRIVATE PkgConfig::CPP_HTTPLIB)
# The failure texts are tested against libcurl's own result codes.
target_link_libraries(test_net PRIVATE CURL::libcurl)
# The encoding tests compress their pages themselves.
find_package(ZLIB REQUIRED)
target_link_libraries(test_net PRIVATE ZLIB::ZLIB)
