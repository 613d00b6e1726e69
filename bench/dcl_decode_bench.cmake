find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
target_link_libraries(dcl_decode_bench PRIVATE qv_dcl qv_implode PkgConfig::LIBDEFLATE)
