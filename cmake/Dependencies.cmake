# Third-party libraries, all from Debian's packages (scripts/setup.sh installs and fetches them).

add_library(zep_platform_libs INTERFACE)
if(WIN32)
    target_link_libraries(zep_platform_libs INTERFACE advapi32 crypt32 shell32 ole32 version uuid)
    # The shipped program depends on no runtime DLL beyond the system's own.
    target_link_options(zep_platform_libs INTERFACE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
else()
    find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
    find_package(SQLite3 REQUIRED)
    # libgsf reads MSI packages (OLE compound files) for their Authenticode check.
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(GSF REQUIRED IMPORTED_TARGET libgsf-1)
    target_link_libraries(zep_platform_libs INTERFACE OpenSSL::Crypto SQLite::SQLite3 acl PkgConfig::GSF)
endif()

# pugixml in its wide-character mode, compiled from Debian's source package.
set(ZEP_DEPS_CACHE "$ENV{ZEP_DEPS_CACHE}" CACHE PATH "Where scripts/setup.sh keeps fetched sources")
if(NOT ZEP_DEPS_CACHE)
    set(ZEP_DEPS_CACHE "$ENV{HOME}/.cache/zepmaintenance")
endif()
find_path(ZEP_PUGIXML_SOURCE_DIR pugixml.cpp
          PATHS ${ZEP_DEPS_CACHE}/pugixml/src NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZEP_PUGIXML_SOURCE_DIR)
    message(FATAL_ERROR "pugixml sources not found below ${ZEP_DEPS_CACHE}/pugixml: run scripts/setup.sh")
endif()
add_library(zep_pugixml STATIC ${ZEP_PUGIXML_SOURCE_DIR}/pugixml.cpp)
target_include_directories(zep_pugixml SYSTEM PUBLIC ${ZEP_PUGIXML_SOURCE_DIR})
target_compile_definitions(zep_pugixml PUBLIC PUGIXML_WCHAR_MODE)

if(ZEP_BUILD_TESTS)
    if(CMAKE_CROSSCOMPILING)
        # Debian's googletest package ships the sources for builds like this one.
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
        add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    else()
        find_package(GTest REQUIRED)
    endif()
endif()
