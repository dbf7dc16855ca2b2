# Boost.Filesystem is not packaged for MinGW: it is compiled here, as a static library, from
# Debian's source package (scripts/setup.sh extracts it). The headers are Debian's, reached
# through a folder that holds only a link to them, since /usr/include holds glibc's headers.
set(BOOST_SOURCE_DIR /opt/boost1.81-src CACHE PATH "Boost 1.81 sources (libs/filesystem/src)")
set(boost_fs_src ${BOOST_SOURCE_DIR}/libs/filesystem/src)
if(NOT EXISTS ${boost_fs_src}/operations.cpp)
  message(FATAL_ERROR "Boost.Filesystem sources not found in ${boost_fs_src}: run scripts/setup.sh")
endif()

set(boost_headers ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${boost_headers})
file(CREATE_LINK /usr/include/boost ${boost_headers}/boost SYMBOLIC)

add_library(boost_filesystem_mingw STATIC
  ${boost_fs_src}/codecvt_error_category.cpp
  ${boost_fs_src}/directory.cpp
  ${boost_fs_src}/exception.cpp
  ${boost_fs_src}/operations.cpp
  ${boost_fs_src}/path.cpp
  ${boost_fs_src}/path_traits.cpp
  ${boost_fs_src}/portability.cpp
  ${boost_fs_src}/unique_path.cpp
  ${boost_fs_src}/utf8_codecvt_facet.cpp
  ${boost_fs_src}/windows_file_codecvt.cpp
)
target_compile_features(boost_filesystem_mingw PUBLIC cxx_std_20)
# BOOST_FILESYSTEM_HAS_BCRYPT: unique_path draws from BCryptGenRandom, not advapi32's CryptGenRandom.
target_compile_definitions(boost_filesystem_mingw
  PRIVATE BOOST_FILESYSTEM_SOURCE BOOST_FILESYSTEM_HAS_BCRYPT
  PUBLIC BOOST_FILESYSTEM_STATIC_LINK=1 BOOST_ALL_NO_LIB)
target_include_directories(boost_filesystem_mingw PRIVATE ${boost_fs_src})
# __FILE__ names the headers as if included from /usr/include, and the sources by their place in
# Boost's tree: neither the build folder nor where the sources were extracted reaches the image.
target_compile_options(boost_filesystem_mingw
  PRIVATE -ffile-prefix-map=${boost_fs_src}=libs/filesystem/src
  PUBLIC -ffile-prefix-map=${boost_headers}=/usr/include)
target_include_directories(boost_filesystem_mingw SYSTEM PUBLIC ${boost_headers})
target_link_libraries(boost_filesystem_mingw PUBLIC bcrypt)
add_library(Boost::filesystem ALIAS boost_filesystem_mingw)
