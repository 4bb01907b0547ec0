"""Where the end-to-end tests find the built programs and keep their prefixes and files.

Environment variables, as ctest sets them; the defaults serve a run by hand from the source tree:
    RAVELKIT_WIN_DIR    the Windows build folder: bin/ holds launcher.exe, watcher.exe,
                        engine.exe, engine64.exe
    RAVELKIT_DIST_DIR   dist/: ravelpack, and copies of the Windows programs
    RAVELKIT_WINE_DIR   where the prefixes live (build/host/wine)
    RAVELKIT_E2E_WORK   where tests place packages and runs leave reports (build/host/e2e)
    RAVELKIT_LAUNCHER   a launcher.exe to use in place of the built one (any program name:
                        RAVELKIT_WATCHER, RAVELKIT_ENGINE, RAVELKIT_ENGINE64, RAVELKIT_RAVELPACK)
"""

import os
import re
import shutil
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DIST_DIR = Path(os.environ.get('RAVELKIT_DIST_DIR', REPO / 'dist'))
WIN_DIR = Path(os.environ.get('RAVELKIT_WIN_DIR', REPO / 'build' / 'win'))
WINE_DIR = Path(os.environ.get('RAVELKIT_WINE_DIR', REPO / 'build' / 'host' / 'wine'))
WORK_DIR = Path(os.environ.get('RAVELKIT_E2E_WORK', REPO / 'build' / 'host' / 'e2e'))


class HarnessError(Exception):
    pass


def program(name):
    """The path of a built program (launcher.exe, watcher.exe, engine.exe, engine64.exe,
    ravelpack): the Windows build's bin/ first (dist/ holds copies, which a rebuild of the
    Windows build alone leaves behind), then dist/ (where the host build writes ravelpack)."""
    override = os.environ.get('RAVELKIT_' + re.sub(r'\.exe$', '', name).upper())
    if override:
        return Path(override)
    for folder in (WIN_DIR / 'bin', DIST_DIR):
        if (folder / name).is_file():
            return folder / name
    raise HarnessError('%s not found in %s or %s; build first (scripts/build.sh)'
                       % (name, WIN_DIR / 'bin', DIST_DIR))


def work_dir(*parts):
    """A fresh, empty folder under the e2e work folder."""
    path = WORK_DIR.joinpath(*parts)
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    return path
