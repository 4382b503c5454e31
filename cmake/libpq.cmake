# The PostgreSQL client library (Debian's libpq-dev), for line mode and for
# reports from the line's database. Sets KX20_LIBPQ to a target to link, or
# leaves it empty where there is none: always on the Windows builds, and on
# Linux only when asked for with -DKX20_LINE=OFF (a missing libpq is an
# error otherwise, so that no build loses line mode unnoticed).
option(KX20_LINE "Line mode and reports from a line (Linux; needs libpq)" ON)
set(KX20_LIBPQ "")
if(NOT WIN32 AND KX20_LINE)
  find_package(PostgreSQL QUIET)
  if(PostgreSQL_FOUND)
    set(KX20_LIBPQ PostgreSQL::PostgreSQL)
  else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(LIBPQ QUIET IMPORTED_TARGET libpq)
      if(LIBPQ_FOUND)
        set(KX20_LIBPQ PkgConfig::LIBPQ)
      endif()
    endif()
  endif()
  if(NOT KX20_LIBPQ)
    message(FATAL_ERROR "libpq not found: install libpq-dev (scripts/packages.sh does), "
                        "or configure with -DKX20_LINE=OFF for a station without line mode")
  endif()
endif()
