# The distribution's hardening flags (dpkg-buildflags with hardening=+all: fortified functions,
# strong stack protector, format checks, full RELRO with immediate binding; g++ builds PIE by
# default), so the binaries `make deb` packages carry them. The sanitizer builds go without:
# fortified functions hide accesses from ASan's interceptors.
option(NF5D_HARDEN "Build with dpkg-buildflags' hardening flags" ON)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NF5D_HARDEN AND DPKG_BUILDFLAGS AND NF5D_SANITIZE STREQUAL "")
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${DPKG_BUILDFLAGS} --get ${kind}
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O.)$")  # the build type chooses these
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
  endforeach()
endif()
