# The one time stamp of a build (manual page, packages, archives), taken the
# way Debian takes it: SOURCE_DATE_EPOCH from the environment when it is set,
# else the date of the newest entry of packaging/changelog. That date is the
# release's, needs no tool, and is the same in a clone, a copy, a snapshot
# and the source archive.

# Seconds since 1970-01-01 00:00 UTC of an RFC 2822 date as a changelog's
# entry carries it, "Mon, 07 Dec 2026 12:00:00 +0000", checked down to its
# day of the week.
function(monitor_rfc2822_epoch date out)
  set(weekdays Thu Fri Sat Sun Mon Tue Wed) # 1970-01-01 was a Thursday
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  if(NOT date MATCHES "^([A-Z][a-z][a-z]), ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) \
([0-9][0-9]:[0-9][0-9]:[0-9][0-9]) ([-+][0-9][0-9][0-9][0-9])$")
    message(FATAL_ERROR "packaging/changelog: not an RFC 2822 date: \"${date}\"")
  endif()
  set(weekday ${CMAKE_MATCH_1})
  list(FIND months ${CMAKE_MATCH_3} month)
  # The numbers, each without a leading zero.
  string(SUBSTRING ${CMAKE_MATCH_6} 0 1 sign)
  string(SUBSTRING ${CMAKE_MATCH_6} 1 2 offset_hours)
  string(SUBSTRING ${CMAKE_MATCH_6} 3 2 offset_minutes)
  string(REPLACE ":" ";" numbers "${CMAKE_MATCH_2};${CMAKE_MATCH_4};${CMAKE_MATCH_5};${offset_hours};${offset_minutes}")
  list(TRANSFORM numbers REPLACE "^0([0-9])$" "\\1")
  list(POP_FRONT numbers day year hour minute second offset_hours offset_minutes)
  if(month EQUAL -1 OR day LESS 1 OR day GREATER 31 OR year LESS 1970 OR hour GREATER 23 OR minute GREATER 59
     OR second GREATER 60 OR offset_minutes GREATER 59)
    message(FATAL_ERROR "packaging/changelog: no such date: \"${date}\"")
  endif()

  # Days since 1970-01-01 in the Gregorian calendar, counting the year from
  # 1 March so that the leap day comes last (month 0 is March).
  if(month LESS 2)
    math(EXPR year "${year} - 1")
    math(EXPR month "${month} + 10")
  else()
    math(EXPR month "${month} - 2")
  endif()
  math(EXPR era "${year} / 400")
  math(EXPR year_of_era "${year} - ${era} * 400")
  math(EXPR day_of_year "(153 * ${month} + 2) / 5 + ${day} - 1")
  math(EXPR day_of_era "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
  math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")

  math(EXPR weekday_index "${days} % 7")
  list(GET weekdays ${weekday_index} expected_weekday)
  if(NOT weekday STREQUAL expected_weekday)
    message(FATAL_ERROR "packaging/changelog: \"${date}\" was a ${expected_weekday}")
  endif()
  math(EXPR epoch "${days} * 86400 + ${hour} * 3600 + ${minute} * 60 + ${second}")
  math(EXPR offset "${offset_hours} * 3600 + ${offset_minutes} * 60")
  if(sign STREQUAL "+")
    math(EXPR epoch "${epoch} - ${offset}")
  else()
    math(EXPR epoch "${epoch} + ${offset}")
  endif()
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(MONITOR_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT MONITOR_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: \"${MONITOR_SOURCE_DATE_EPOCH}\"")
  endif()
else()
  # The newest entry's date line, " -- NAME <ADDRESS>  DATE", is the first.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_date REGEX "^ -- " LIMIT_COUNT 1)
  if(NOT changelog_date MATCHES "^ -- [^<]*<[^>]*>  (.*)$")
    message(FATAL_ERROR "packaging/changelog: no \" -- NAME <ADDRESS>  DATE\" line: \"${changelog_date}\"")
  endif()
  monitor_rfc2822_epoch("${CMAKE_MATCH_1}" MONITOR_SOURCE_DATE_EPOCH)
endif()
