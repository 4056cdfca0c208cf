# The distribution's hardening for the builds that users get (Release, and so scripts/package.sh and
# scripts/run.sh): position-independent executables, full RELRO (relro + bind now), the strong stack
# protector and FORTIFY. The flags are Debian's own, as dpkg-buildflags gives them with every
# hardening feature on; only the hardening ones are taken (its -g, -O2 and file-prefix maps are not
# the build type's business). Where dpkg-buildflags is missing the same set applies. The sanitizer
# and fuzz builds go without: FORTIFY's checks get in the way of AddressSanitizer's.

set(_korvex_hardening_default OFF)
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$" AND NOT KORVEX_SANITIZE AND NOT KORVEX_FUZZ)
  set(_korvex_hardening_default ON)
endif()
option(KORVEX_HARDENING "Build with the distribution's hardening flags (on for Release)" ${_korvex_hardening_default})

if(KORVEX_HARDENING)
  set(_compile -fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2 -Wformat
               -Werror=format-security)
  set(_link -Wl,-z,relro -Wl,-z,now)
  find_program(KORVEX_DPKG_BUILDFLAGS dpkg-buildflags)
  if(KORVEX_DPKG_BUILDFLAGS)
    set(_flags "")
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                              ${KORVEX_DPKG_BUILDFLAGS} --get ${kind}
                      OUTPUT_VARIABLE _out OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _result)
      if(NOT _result EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
      endif()
      separate_arguments(_out UNIX_COMMAND "${_out}")
      list(APPEND _flags ${_out})
    endforeach()
    set(_compile "")
    set(_link "")
    foreach(flag IN LISTS _flags)
      if(flag MATCHES "^-fstack-protector|^-fstack-clash-protection$|^-fcf-protection|^-D_FORTIFY_SOURCE=|^-Wformat|^-Werror=format-security$")
        list(APPEND _compile ${flag})
      elseif(flag MATCHES "^-Wl,")
        list(APPEND _link ${flag})
      endif()
    endforeach()
  endif()
  foreach(required "-fstack-protector-strong" "-Wl,-z,relro" "-Wl,-z,now")
    if(NOT required IN_LIST _compile AND NOT required IN_LIST _link)
      message(FATAL_ERROR "Hardening: ${required} is missing from the distribution's flags (${_compile} ${_link})")
    endif()
  endforeach()
  if(NOT _compile MATCHES "-D_FORTIFY_SOURCE=")
    message(FATAL_ERROR "Hardening: FORTIFY is missing from the distribution's flags (${_compile})")
  endif()
  add_compile_options(${_compile})
  add_link_options(${_link})
  # Executables as PIE: CMake passes -fPIE and -pie itself rather than trusting the compiler's default.
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  message(STATUS "Hardening: ${_compile} ${_link} -fPIE -pie")
endif()
