# Compiles SOURCE alone (-fsyntax-only) with COMPILER and the include directories INCLUDES
# (separated by "|") and passes when the compiler refuses it with exactly one error, which
# carries the text of the source's "// expect: <text>" line: a mistake of shape in a host's code
# should read as one sentence, not as pages of template errors.
file(STRINGS "${SOURCE}" expect_lines REGEX "^// expect: ")
list(GET expect_lines 0 expect)
string(REGEX REPLACE "^// expect: " "" expect "${expect}")
string(REPLACE "|" ";" includes "${INCLUDES}")
set(args "")
foreach(dir IN LISTS includes)
  if(dir)
    list(APPEND args "-I${dir}")
  endif()
endforeach()
execute_process(COMMAND "${COMPILER}" -std=c++20 -fPIC -fsyntax-only ${args} "${SOURCE}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiled; it must not")
endif()
string(REGEX MATCHALL "error:" errors "${err}")
list(LENGTH errors count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${count} errors instead of one:\n${err}")
endif()
string(FIND "${err}" "${expect}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the error does not say \"${expect}\":\n${err}")
endif()
