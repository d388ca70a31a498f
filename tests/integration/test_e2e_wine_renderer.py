#!/usr/bin/python3
"""gmediarender plays a track from the Windows build: as test_e2e_renderer, with kbhost.exe and
gen_kestrelbloom.dll under Wine (xvfb-run) serving the library. Skips when no Windows build
exists."""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "lib"))
import e2e_support as e2e  # noqa: E402
import test_e2e_renderer as renderer  # noqa: E402


def main():
    stage = e2e.win32_stage()
    if stage is None:
        print("SKIP: no Windows build (kbhost.exe and gen_kestrelbloom.dll)")
        return 0
    if shutil.which("wine") is None or shutil.which("xvfb-run") is None:
        print("FAIL - wine and xvfb-run are needed")
        return 1
    return renderer.play_from(
        "kbe2ewrd", stage,
        lambda scene: ["timeout", "200", "xvfb-run", "-a", "wine",
                       os.path.join(scene.stage, "kbhost.exe"), "--music",
                       "Z:" + scene.music.replace("/", "\\")],
        e2e.wine_prefix)


if __name__ == "__main__":
    sys.exit(main())
