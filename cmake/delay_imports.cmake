# Delay-import libraries: a DLL listed here is bound on the first call into it, through the
# delay-load helper, instead of by the loader before the program's first line. The loader
# would search the program's own folder first for any DLL that is not a KnownDLL; by the
# first call the program has limited the search to System32.
set(KEL_DELAY_IMPORT_DIR ${CMAKE_BINARY_DIR}/delay_imports)

# Sets out_var to the delay-import library of System32's <dll>.dll, made from the functions
# of MinGW's import library lib<dll>.a.
function(kel_delay_import_library out_var dll)
  set(import_lib ${CMAKE_FIND_ROOT_PATH}/lib/lib${dll}.a)
  set(def ${KEL_DELAY_IMPORT_DIR}/${dll}.def)
  set(lib ${KEL_DELAY_IMPORT_DIR}/lib${dll}_delay.a)
  execute_process(COMMAND ${KEL_NM} ${import_lib} OUTPUT_VARIABLE symbols
    COMMAND_ERROR_IS_FATAL ANY)
  # Code thunks only: data exports cannot be delay-loaded.
  string(REGEX MATCHALL " T [^\r\n]+" functions "${symbols}")
  list(TRANSFORM functions REPLACE "^ T " "")
  list(SORT functions)
  list(REMOVE_DUPLICATES functions)
  list(JOIN functions "\n" exports)
  # dlltool names the library's symbols after its output path: relative, so that the program
  # does not depend on the build folder. The command is part of the text, so a change to it
  # makes the library again.
  set(command ${KEL_DLLTOOL} --input-def ${dll}.def --dllname ${dll}.dll
    --output-delaylib lib${dll}_delay.a --temp-prefix ${dll}_delay)
  list(JOIN command " " command_text)
  set(text "; ${command_text}\nLIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
  if(EXISTS ${def})
    file(READ ${def} previous)
  endif()
  if(NOT EXISTS ${lib} OR NOT text STREQUAL "${previous}")
    file(MAKE_DIRECTORY ${KEL_DELAY_IMPORT_DIR})
    file(WRITE ${def} "${text}")
    execute_process(COMMAND ${command} WORKING_DIRECTORY ${KEL_DELAY_IMPORT_DIR}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()
