# Read by cpack before it makes each package.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MONITOR_SOURCE_DATE_EPOCH}")
endif()
