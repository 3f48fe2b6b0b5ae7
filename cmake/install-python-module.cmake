# Installs the Python module and its type stub into CMAKE_INSTALL_PREFIX, included by the
# module's install rule with `python` (the interpreter it is built for) and `module_files`.
#
# The folder is the interpreter's answer for this prefix, asked at install time so that the
# installing user's own site counts:
#  1. the first of its site folders (and the user's site, where it is enabled) that lies in
#     the prefix's lib folder: lib/python3/dist-packages under Debian's /usr,
#     lib/python3.X/dist-packages under Debian's /usr/local, lib/python3.X/site-packages
#     under ~/.local;
#  2. otherwise the prefix's standard layout (lib/python3.X/site-packages on POSIX, as a
#     virtual environment has it), which the interpreter searches only through PYTHONPATH:
#     the install says so.
set(ask [=[
import os, site, sys, sysconfig
prefix = os.path.realpath(sys.argv[1])
folders = site.getsitepackages()
if site.ENABLE_USER_SITE:
    folders.append(site.getusersitepackages())
for folder in folders:
    try:
        inside = os.path.relpath(os.path.realpath(folder), prefix)
    except ValueError:  # another drive
        continue
    if inside.split(os.sep)[0].lower().startswith("lib"):
        print(inside.replace(os.sep, "/"))
        print("searched")
        break
else:
    scheme = "posix_prefix" if os.name == "posix" else "nt"
    folder = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
    print(os.path.relpath(folder, prefix).replace(os.sep, "/"))
    print("searched" if os.path.realpath(folder) in map(os.path.realpath, sys.path) else "not searched")
]=])
execute_process(COMMAND "${python}" -c "${ask}" "${CMAKE_INSTALL_PREFIX}"
                OUTPUT_VARIABLE answer ERROR_VARIABLE error RESULT_VARIABLE failed)
if(failed OR NOT answer MATCHES "^([^\n]+)\n(searched|not searched)\n$")
  message(FATAL_ERROR "The Python module's folder: ${python} did not say where modules go "
                      "under ${CMAKE_INSTALL_PREFIX} (${failed}): ${error}")
endif()
set(folder "${CMAKE_INSTALL_PREFIX}/${CMAKE_MATCH_1}")
set(searched "${CMAKE_MATCH_2}")
file(INSTALL DESTINATION "${folder}" TYPE FILE FILES ${module_files})
if(searched STREQUAL "not searched")
  message(STATUS "${python} does not look in ${folder}: "
                 "PYTHONPATH=${folder} lets it import agreement_sweep")
endif()
