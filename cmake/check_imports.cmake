# cmake -DOBJDUMP=... -DFILE=program.exe -DALLOWED="kernel32;user32;..." -P check_imports.cmake
# Fails, naming the DLL, when the loader would bind FILE to a DLL outside ALLOWED before the
# program's first line (delay-loaded DLLs are not in this table).
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(FIND "${dump}" "The Import Tables" start)
if(start EQUAL -1)
  return()
endif()
string(SUBSTRING "${dump}" ${start} -1 imports)
# The delay-import tables follow the import tables and list their DLLs the same way.
string(FIND "${imports}" "Delay Import Tables" stop)
if(NOT stop EQUAL -1)
  string(SUBSTRING "${imports}" 0 ${stop} imports)
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${imports}")
string(TOLOWER "${ALLOWED}" allowed)
foreach(entry ${names})
  string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
  string(TOLOWER "${dll}" lower)
  string(REGEX REPLACE "\\.dll$" "" lower "${lower}")
  if(NOT lower IN_LIST allowed)
    message(FATAL_ERROR "${FILE} imports ${dll} at load time: only ${ALLOWED} may be; add it "
      "to the delay-loaded DLLs in CMakeLists.txt")
  endif()
endforeach()
