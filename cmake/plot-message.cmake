# Names the files the plot step wrote into FOLDER: the summary's always, and the coupling
# figure's only where it drew one (otherwise it removes an earlier one, so none stands there).
# Usage: cmake -DFOLDER=<folder> -P plot-message.cmake
set(written "summary.svg, summary.png and summary.csv")
if(EXISTS "${FOLDER}/coupling.svg")
  set(written "summary.svg, summary.png, summary.csv, coupling.svg and coupling.png")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "Figures written to ${FOLDER}: ${written}")
