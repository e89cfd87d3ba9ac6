# cmake -DFILE=program.exe -DEXPECT=absent|present -P check_fault_seam.cmake
# The fault seam of the tests names its plan variable in the program; the shipped program must
# not hold that name in any encoding (the seam would make its file calls fail on demand).
cmake_minimum_required(VERSION 3.20)
file(READ "${FILE}" content HEX)
set(found FALSE)
# "KEL_FAULT_PLAN" in ASCII and in UTF-16LE.
foreach(needle 4b454c5f4641554c545f504c414e
        4b0045004c005f004600410055004c0054005f0050004c0041004e00)
  string(FIND "${content}" "${needle}" at)
  if(NOT at EQUAL -1)
    set(found TRUE)
  endif()
endforeach()
if(EXPECT STREQUAL "absent" AND found)
  message(FATAL_ERROR "${FILE} contains the test builds' fault seam: it must not ship")
elseif(EXPECT STREQUAL "present" AND NOT found)
  message(FATAL_ERROR "${FILE} lacks the fault seam the check for the shipped program looks for")
endif()
