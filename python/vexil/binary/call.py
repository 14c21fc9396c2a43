"""Locators of the external programs the package runs.

Minimal stand-in for the package's full module: it only finds the programs, it never runs them.

Three programs are looked for, each first in the package's own ``bin`` folder (``vexil/bin``, where a
package ships its programs) and then on the PATH:

- ``orvo_call_builtin()``: the inference engine, program name ``orvo``;
- ``tessor_call_builtin()``: the mesh generator, program name ``tessor``;
- ``orvo_remote_script()``: the script that runs the engine on a remote host, name ``orvo.remote``.

A program counts as found when it is a regular file that the current user may execute (on Windows the
PATHEXT suffixes such as ``.exe`` are tried as well). Each call searches anew; nothing is cached, so a
program installed after a first look is found by the next one. Every location returned is an absolute
path, as a ``str``.

When nothing is found:

- the engine locator returns None (it does not raise), so that the option store can be read on a machine
  without an engine; a caller tells "no engine installed" by the None value of "orvo.call";
- the mesh-generator locator raises ``FileNotFoundError``;
- the remote-script locator returns None.
"""

import os
import shutil
import sys

_ENGINE_PROGRAM = "orvo"
_MESH_PROGRAM = "tessor"
_REMOTE_SCRIPT = "orvo.remote"

# Where the package ships its programs: the "bin" folder inside the installed package.
_PACKAGE_BIN_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin")


def _is_runnable(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _candidate_names(name):
    names = [name]
    if sys.platform == "win32":
        exts = [e for e in os.environ.get("PATHEXT", ".COM;.EXE;.BAT;.CMD").split(os.pathsep) if e]
        names += [name + ext for ext in exts if not name.lower().endswith(ext.lower())]
    return names


def _find_in_package(name):
    folder = _PACKAGE_BIN_DIR
    if not folder or not os.path.isdir(folder):
        return None
    for candidate in _candidate_names(name):
        path = os.path.join(folder, candidate)
        if _is_runnable(path):
            return os.path.abspath(path)
    return None


def _find_program(name):
    """Absolute location of program ``name``: the package's bin folder first, then the PATH; or None."""
    found = _find_in_package(name)
    if found is not None:
        return found
    found = shutil.which(name)
    if found is not None:
        return os.path.abspath(found)
    return None


def orvo_call_builtin():
    """Location of the inference engine program (``orvo``), or None when it is not installed."""
    return _find_program(_ENGINE_PROGRAM)


def tessor_call_builtin():
    """Location of the mesh-generator program (``tessor``).

    Raises FileNotFoundError when it is neither in the package's bin folder nor on the PATH.
    """
    found = _find_program(_MESH_PROGRAM)
    if found is None:
        raise FileNotFoundError(
            "mesh generator '%s' not found in %s or on the PATH" % (_MESH_PROGRAM, _PACKAGE_BIN_DIR))
    return found


def orvo_remote_script():
    """Location of the remote-run script (``orvo.remote``), or None when there is none."""
    return _find_program(_REMOTE_SCRIPT)
