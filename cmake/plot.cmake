# The plot step, scripts/agreement-sweep-plot with its drawing module plot_figures.py: the
# targets that draw a run's figures, and its install.
#
# The plot targets draw the summary into summary.svg and summary.png beside the data folder
# after running what they depend on: `plot` the experiment, `plot_ensemble` the experiment
# and the ensemble, whose band the figure then shows, `plot_coupling` the experiment and the
# ensemble across k, which adds coupling.svg and coupling.png. They run the step with the
# first interpreter that imports matplotlib and NumPy: the one the Python module is built
# for, python3 on the PATH, /usr/bin/python3.
include(GNUInstallDirs)
find_program(path_python3 python3)
first_python(plot_python "matplotlib, numpy" ${Python3_EXECUTABLE} ${path_python3} /usr/bin/python3)

function(add_plot_target name)
  if(plot_python)
    add_custom_target(${name}
      COMMAND ${plot_python} ${PROJECT_SOURCE_DIR}/scripts/agreement-sweep-plot ${CMAKE_BINARY_DIR}
      COMMAND ${CMAKE_COMMAND} -DFOLDER=${CMAKE_BINARY_DIR}
              -P ${PROJECT_SOURCE_DIR}/cmake/plot-message.cmake
      VERBATIM)
    add_dependencies(${name} ${ARGN})
  else()
    add_custom_target(${name}
      COMMAND ${CMAKE_COMMAND} -E echo
              "${name}: matplotlib not found; install it (Debian: apt-get install python3-matplotlib python3-numpy), then configure again"
      COMMAND ${CMAKE_COMMAND} -E false
      VERBATIM)
  endif()
endfunction()
add_plot_target(plot run_experiment)
add_plot_target(plot_ensemble run_experiment run_ensemble)
add_plot_target(plot_coupling run_experiment run_coupling)

# Installed, the step lies in bin/ and its drawing module, private to it, in
# share/agreement_sweep/; the step carries the project's version and the module's folder
# relative to its own, filled in here.
set(plot_module_destination ${CMAKE_INSTALL_DATADIR}/agreement_sweep)
file(RELATIVE_PATH PLOT_MODULE_FOLDER /${CMAKE_INSTALL_BINDIR} /${plot_module_destination})
configure_file(scripts/agreement-sweep-plot ${CMAKE_CURRENT_BINARY_DIR}/scripts/agreement-sweep-plot @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/scripts/agreement-sweep-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES scripts/plot_figures.py DESTINATION ${plot_module_destination})
