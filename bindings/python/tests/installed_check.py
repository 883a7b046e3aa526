"""Uses the Python package of an installed Vocetta from there alone: it must find the library and
the tool installed with it.

    PYTHONPATH=PREFIX/lib/python3.X/dist-packages python3 installed_check.py PREFIX RECORDING
"""
import os
import sys

import vocetta

prefix = os.path.realpath(sys.argv[1])
for name, path in (("package", vocetta.__file__), ("library", vocetta.library_path()),
                   ("tool", vocetta.tool_path())):
    assert os.path.realpath(path).startswith(prefix + os.sep), f"{name} outside {prefix}: {path}"
frames = vocetta.analyze_file(sys.argv[2])
assert len(frames) > 100 and set(frames.phoneme) > {"sil"}, frames
cues = vocetta.cues_file(sys.argv[2])
assert len(cues) > 5 and cues[0].start == 0 and "X" in {c.shape for c in cues}, cues
