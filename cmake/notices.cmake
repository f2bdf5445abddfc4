# The licence notices of the libraries the module links, installed into the
# wheel's metadata (<name>.dist-info/licenses/third-party/<package>/), so that a
# wheel into which they are later bundled (auditwheel repair) carries them.
# Each library file is traced to the system package that installed it: on
# Debian its /usr/share/doc/<package>/copyright, on RPM systems the licence
# files the package lists. A library no package claims is reported.
function(palisar_install_notices)
  if(NOT DEFINED SKBUILD_METADATA_DIR)
    return()
  endif()
  find_program(PALISAR_DPKG_QUERY dpkg-query)
  find_program(PALISAR_RPM rpm)
  foreach(library IN LISTS ARGN)
    if(NOT IS_ABSOLUTE "${library}")
      continue()
    endif()
    get_filename_component(real "${library}" REALPATH)
    get_filename_component(name "${real}" NAME)
    set(package "")
    set(notices "")
    if(PALISAR_DPKG_QUERY)
      # By file name: with a merged /usr the package may list /lib rather than /usr/lib.
      execute_process(COMMAND "${PALISAR_DPKG_QUERY}" -S "*/${name}"
        OUTPUT_VARIABLE owner RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(rc EQUAL 0)
        string(REGEX REPLACE "[:,].*" "" package "${owner}")
        if(EXISTS "/usr/share/doc/${package}/copyright")
          set(notices "/usr/share/doc/${package}/copyright")
        endif()
      endif()
    elseif(PALISAR_RPM)
      execute_process(COMMAND "${PALISAR_RPM}" -qf --qf "%{NAME}" "${real}"
        OUTPUT_VARIABLE package RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(rc EQUAL 0)
        execute_process(COMMAND "${PALISAR_RPM}" -qL "${package}"
          OUTPUT_VARIABLE listed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        string(REPLACE "\n" ";" listed "${listed}")
        foreach(file IN LISTS listed)
          if(file MATCHES "^/usr/share/licenses/" AND NOT IS_DIRECTORY "${file}")
            list(APPEND notices "${file}")
          endif()
        endforeach()
      endif()
    endif()
    if(notices)
      install(FILES ${notices} DESTINATION "${SKBUILD_METADATA_DIR}/licenses/third-party/${package}")
      message(STATUS "licence notice of ${name}: ${notices}")
    else()
      message(WARNING "No licence notice found for ${real}: a wheel that bundles it must carry one")
    endif()
  endforeach()
endfunction()
