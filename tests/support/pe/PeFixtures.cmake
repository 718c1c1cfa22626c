# PE images for the version-resource tests, built with the Windows toolchain: a 64-bit and a 32-bit
# image with version resources and a 64-bit one without. They land in bin/pe-fixtures.
set(ZEP_PE_FIXTURE_DIR ${CMAKE_BINARY_DIR}/bin/pe-fixtures)
set(ZEP_PE_FIXTURE_SOURCES ${CMAKE_CURRENT_LIST_DIR})

if(WIN32)
    add_library(zep_pe_version SHARED ${ZEP_PE_FIXTURE_SOURCES}/Fixture.c ${ZEP_PE_FIXTURE_SOURCES}/VersionFixture.rc)
    target_compile_definitions(zep_pe_version PRIVATE "ZEP_FIXTURE_FILE_VERSION=2,0,1200,7")
    add_library(zep_pe_noversion SHARED ${ZEP_PE_FIXTURE_SOURCES}/Fixture.c)
    set_target_properties(zep_pe_version PROPERTIES OUTPUT_NAME version64)
    set_target_properties(zep_pe_noversion PROPERTIES OUTPUT_NAME noversion64)
    set_target_properties(zep_pe_version zep_pe_noversion PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                          ${ZEP_PE_FIXTURE_DIR})
    add_dependencies(zep_unit_tests zep_pe_version zep_pe_noversion)
    return()
endif()

find_program(ZEP_WINDRES64 x86_64-w64-mingw32-windres)
find_program(ZEP_MINGW64_CC x86_64-w64-mingw32-gcc)
find_program(ZEP_WINDRES32 i686-w64-mingw32-windres)
find_program(ZEP_MINGW32_CC i686-w64-mingw32-gcc)
if(NOT ZEP_WINDRES64 OR NOT ZEP_MINGW64_CC OR NOT ZEP_WINDRES32 OR NOT ZEP_MINGW32_CC)
    message(STATUS "No Windows cross toolchain: the PE version-resource tests will be skipped")
    return()
endif()

set(fixture_code ${ZEP_PE_FIXTURE_SOURCES}/Fixture.c)
set(fixture_rc ${ZEP_PE_FIXTURE_SOURCES}/VersionFixture.rc)
set(work ${CMAKE_CURRENT_BINARY_DIR}/pe-fixtures)
set(link_flags -shared -nostdlib -Wl,-e,0)
add_custom_command(
    OUTPUT ${ZEP_PE_FIXTURE_DIR}/version64.dll ${ZEP_PE_FIXTURE_DIR}/noversion64.dll
           ${ZEP_PE_FIXTURE_DIR}/version32.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work} ${ZEP_PE_FIXTURE_DIR}
    COMMAND ${ZEP_WINDRES64} "-DZEP_FIXTURE_FILE_VERSION=2,0,1200,7" ${fixture_rc} -O coff -o ${work}/version64.o
    COMMAND ${ZEP_MINGW64_CC} ${link_flags} -o ${ZEP_PE_FIXTURE_DIR}/version64.dll ${fixture_code}
            ${work}/version64.o
    COMMAND ${ZEP_MINGW64_CC} ${link_flags} -o ${ZEP_PE_FIXTURE_DIR}/noversion64.dll ${fixture_code}
    COMMAND ${ZEP_WINDRES32} "-DZEP_FIXTURE_FILE_VERSION=3,1,4,15" ${fixture_rc} -O coff -o ${work}/version32.o
    COMMAND ${ZEP_MINGW32_CC} ${link_flags} -o ${ZEP_PE_FIXTURE_DIR}/version32.dll ${fixture_code}
            ${work}/version32.o
    DEPENDS ${fixture_code} ${fixture_rc}
    VERBATIM)
add_custom_target(zep_pe_fixtures DEPENDS ${ZEP_PE_FIXTURE_DIR}/version64.dll ${ZEP_PE_FIXTURE_DIR}/noversion64.dll
                                          ${ZEP_PE_FIXTURE_DIR}/version32.dll)
add_dependencies(zep_unit_tests zep_pe_fixtures)
