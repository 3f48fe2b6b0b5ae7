# Installing and the packages, included from the top CMakeLists.txt once every target is made.
#
# Two parts, each its own Debian package, so that installing the programs pulls no Python in:
#  - `programs` (agreement-sweep): both programs and the plot step in bin/, the README, its
#    figures and the notes it links to in the documentation folder (where the README's links
#    expect them). Every install rule without a COMPONENT, here or after this file's
#    inclusion, belongs to it.
#  - `python` (python3-agreement-sweep), where the module is built: the Python module and its
#    type stub, where the installing prefix's interpreter finds them.
# The .tar.gz (the .zip on Windows) holds both.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME programs)
install(TARGETS agreement_sweep agreement_ensemble RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/summary.png docs/coupling.png docs/r_histogram.png docs/r_histogram.py
              docs/speed.md docs/portability.md docs/layout.md docs/quantiles.md docs/theory.md
              docs/science.md docs/ensemble.md docs/python.md docs/building.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# The module's folder depends on the prefix, known only at install time, so the interpreter
# the module is built for is asked then (install-python-module.cmake says how it chooses).
if(python_module)
  install(CODE "set(python \"${Python3_EXECUTABLE}\")
    set(module_files \"$<TARGET_FILE:agreement_sweep_python>\"
                     \"${CMAKE_BINARY_DIR}/python/agreement_sweep.pyi\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/install-python-module.cmake\")"
    COMPONENT python)
endif()

# Packages: `cpack` in a build folder makes a .tar.gz and, where Debian's dpkg-shlibdeps is
# found, the .deb packages on Linux; a .zip on Windows.
set(CPACK_PACKAGE_NAME agreement-sweep)
set(CPACK_PACKAGE_VENDOR "The agreement sweep developers")
set(CPACK_PACKAGE_CONTACT "The agreement sweep developers <agreement-sweep@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Numerical experiment: Pearson correlation against the share of same-direction steps")
set(CPACK_PACKAGE_DESCRIPTION
    "agreement_sweep draws a reference signal from a seeded generator and sweeps 128 passes \
from full agreement to full disagreement of a coupled signal's step directions, writing each \
pass's signal and two summaries. agreement_ensemble runs the same experiment over many seeds. \
agreement-sweep-plot draws the summaries as figures.")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)

set(CPACK_COMPONENTS_ALL programs)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Each package depends on the shared libraries its files link, as dpkg-shlibdeps finds them:
# none for the static programs; the C and C++ runtimes for the module (and for the programs
# where they link dynamically).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME agreement-sweep)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION science)
# The plot step runs only with matplotlib and NumPy, but the programs need neither.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib, python3-numpy")
if(python_module)
  list(APPEND CPACK_COMPONENTS_ALL python)
  # The module is built for one Python version (its file name says which), and it returns
  # NumPy arrays.
  math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
  set(python_version "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-agreement-sweep)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${python_version}~), python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION
      "The Python module agreement_sweep runs the one-shot experiment and the ensemble of \
the agreement-sweep package in the interpreter and returns them as NumPy arrays; a type stub \
beside it serves editors. Built for Python ${python_version}.")
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
  # The .debs' library dependencies come from dpkg-shlibdeps, on the files `file` finds to be
  # linked: without them a .deb would claim to need no library at all, so it is left out.
  find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
  find_program(FILE_EXECUTABLE file)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND DPKG_SHLIBDEPS_EXECUTABLE AND FILE_EXECUTABLE)
    list(APPEND CPACK_GENERATOR DEB)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(STATUS "dpkg-shlibdeps or file not found: cpack makes the .tar.gz alone "
                   "(Debian: apt-get install dpkg-dev file)")
  endif()
endif()
include(CPack)
