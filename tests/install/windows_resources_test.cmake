# Reads the resources of a Windows exe back with windres: the version resource and the
# application manifest, as Explorer and the loader read them.
# usage: cmake -DRC_COMPILER=windres -DEXE=tervalo.exe -DVERSION=x.y.z -P this file
execute_process(COMMAND ${RC_COMPILER} --input-format=coff --output-format=rc -i ${EXE}
  OUTPUT_VARIABLE resources COMMAND_ERROR_IS_FATAL ANY)
# The manifest comes back as quoted lines with doubled quotes; joined, it can be searched.
string(REGEX REPLACE "\"\n[ \t]*\"" "" joined "${resources}")
string(REPLACE "\"\"" "\"" joined "${joined}")
foreach(expected
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"ProductName\", \"tervalo\""
    "VALUE \"FileDescription\", \"tervalo: "
    "VALUE \"LegalCopyright\", \"Copyright (c) the tervalo developers, MIT licence\""
    "<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>"
    "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>")
  string(FIND "${joined}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not in the resources of ${EXE}: ${expected}\n${resources}")
  endif()
endforeach()
# Exactly one manifest: the toolchain's default one must not have been linked beside it.
string(REGEX MATCHALL "<assembly " manifests "${joined}")
list(LENGTH manifests count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${count} manifests in ${EXE}")
endif()
