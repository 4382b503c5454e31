# ODBC, the line's second database link: odbc32 on Windows (part of
# MinGW-w64 and of every Windows), unixODBC on Linux (Debian's
# unixodbc-dev). Sets KX20_ODBC to what to link, or leaves it empty where
# line mode is off, or on Linux when asked for with -DKX20_LINE_ODBC=OFF (a
# missing unixODBC is an error otherwise, as a missing libpq is).
option(KX20_LINE_ODBC "Line mode over ODBC as well as libpq (Linux; needs unixodbc-dev)" ON)
set(KX20_ODBC "")
if(WIN32)
  set(KX20_ODBC odbc32)
elseif(KX20_LINE AND KX20_LINE_ODBC)
  find_package(ODBC QUIET)
  if(ODBC_FOUND)
    set(KX20_ODBC ODBC::ODBC)
  else()
    message(FATAL_ERROR "unixODBC not found: install unixodbc-dev (scripts/packages.sh does), "
                        "or configure with -DKX20_LINE_ODBC=OFF for line mode over libpq only")
  endif()
endif()
