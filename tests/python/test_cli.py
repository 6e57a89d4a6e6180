# SPDX-License-Identifier: MIT
"""The command line (python3 -m mivoraface), the README's example, and
whole interpreter runs: clean exit, and the module without OpenCV."""
import os
import re

import cv2
import numpy as np
import pytest

import mivoraface
from conftest import DATA, REPO, read_photo, run_python
from readme_example import extract

ASTRONAUT = str(DATA / "astronaut.png")
COFFEE = str(DATA / "coffee.png")


def parse(output):
    """{photo: [(box, confidence, points)]} from the command's output."""
    photos, counts, faces = {}, {}, None
    for line in output.splitlines():
        if match := re.fullmatch(r"(\S+): (\d+) faces?", line):
            faces = photos[match.group(1)] = []
            counts[match.group(1)] = int(match.group(2))
        elif match := re.fullmatch(
                r"  face \d+: box x (\S+) y (\S+) width (\S+) height (\S+) "
                r"angle \S+, confidence (\S+)", line):
            box = tuple(float(match.group(i)) for i in range(1, 5))
            faces.append((box, float(match.group(5)), []))
        elif match := re.fullmatch(r"    +(\d+) (\S+) (\S+)", line):
            points = faces[-1][2]
            assert int(match.group(1)) == len(points)
            points.append((float(match.group(2)), float(match.group(3))))
        else:
            raise AssertionError(f"unexpected line: {line!r}")
    for name, found in photos.items():
        assert len(found) == counts[name], name
        assert all(len(points) == 68 for _, _, points in found), name
    return photos


def test_command_prints_the_faces_of_each_photo():
    result = run_python(["-m", "mivoraface", ASTRONAUT, COFFEE])
    assert result.returncode == 0, result.stderr
    photos = parse(result.stdout)
    assert list(photos) == [ASTRONAUT, COFFEE]
    assert photos[COFFEE] == []
    (box, confidence, points), = photos[ASTRONAUT]
    face, = mivoraface.detect(read_photo("astronaut.png"))
    assert np.allclose(box, face.box, atol=0.006)
    assert abs(confidence - face.confidence) < 0.0006
    assert np.allclose(points, face.landmarks, atol=0.006)


def test_command_draws_the_points_on_the_first_photo(tmp_path):
    out = tmp_path / "drawn.png"
    result = run_python(["-m", "mivoraface", "--draw", str(out), ASTRONAUT,
                         COFFEE])
    assert result.returncode == 0, result.stderr
    photo = read_photo("astronaut.png")
    drawn = cv2.imread(str(out))
    assert drawn is not None and drawn.shape == photo.shape
    face, = mivoraface.detect(photo)
    blue, green, red = drawn[:, :, 0], drawn[:, :, 1], drawn[:, :, 2]
    red = (red > 200) & (green < 60) & (blue < 60)
    for x, y in face.landmarks.round().astype(int):
        assert red[y, x], (x, y)
    # Away from the face the photo is unchanged.
    x, y, width, height = (int(v) for v in face.box)
    changed = np.any(drawn != photo, axis=2)
    margin = 20
    changed[max(y - margin, 0):y + height + margin,
            max(x - margin, 0):x + width + margin] = False
    assert not changed.any()


def test_command_reports_unreadable_photos_and_goes_on(tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not a photo")
    result = run_python(["-m", "mivoraface", str(broken), ASTRONAUT])
    assert result.returncode == 1
    assert f"cannot read {broken}" in result.stderr
    assert list(parse(result.stdout)) == [ASTRONAUT]

    usage = run_python(["-m", "mivoraface"])
    assert usage.returncode == 2
    assert "usage: python3 -m mivoraface" in usage.stderr


@pytest.mark.parametrize("name", ["drawn.unknown", "drawn", "."])
def test_command_says_when_the_drawing_cannot_be_written(tmp_path, name):
    # No writer for the extension, no extension, a folder.
    out = tmp_path / name
    result = run_python(["-m", "mivoraface", "--draw", str(out), ASTRONAUT])
    assert result.returncode == 1
    assert f"cannot write {out}" in result.stderr
    assert "Traceback" not in result.stderr
    assert list(parse(result.stdout)) == [ASTRONAUT]


def test_command_says_when_there_is_nothing_to_draw_on(tmp_path):
    out = tmp_path / "drawn.png"
    result = run_python(["-m", "mivoraface", "--draw", str(out),
                         str(tmp_path / "missing.png"), ASTRONAUT])
    assert result.returncode == 1
    assert f"{out} not written" in result.stderr
    assert not out.exists()


@pytest.mark.parametrize("library, words", [
    ("/nonexistent/libmivoraface.so.1", "cannot load the MivoraFace library"),
    ("libm.so.6", "is not the MivoraFace library"),
])
def test_command_says_in_one_line_when_the_library_is_unusable(library,
                                                                 words):
    result = run_python(["-m", "mivoraface", ASTRONAUT],
                        {"MIVORA_FACE_LIBRARY": library})
    assert result.returncode == 1
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and words in lines[0], result.stderr
    assert lines[0].startswith("python3 -m mivoraface: ")
    assert "older than" not in lines[0]


def test_importing_without_the_library_still_raises_import_error():
    result = run_python(["-c", "import mivoraface"],
                        {"MIVORA_FACE_LIBRARY": "libm.so.6"})
    assert result.returncode == 1
    assert "ImportError" in result.stderr
    assert "is not the MivoraFace library" in result.stderr


def without_cv2(tmp_path):
    """Environment changes that make `import cv2` fail."""
    (tmp_path / "cv2.py").write_text(
        "raise ImportError(\"No module named 'cv2'\")\n")
    path = os.environ.get("PYTHONPATH")
    return {"PYTHONPATH": f"{tmp_path}:{path}" if path else str(tmp_path)}


def test_without_opencv_the_command_says_what_to_install(tmp_path):
    result = run_python(["-m", "mivoraface", ASTRONAUT], without_cv2(tmp_path))
    assert result.returncode == 1
    assert result.stdout == ""
    assert "python3-opencv" in result.stderr
    assert "Traceback" not in result.stderr


def test_module_works_without_opencv(tmp_path, astronaut):
    np.save(tmp_path / "photo.npy", astronaut)
    script = ("import sys, numpy, mivoraface\n"
              "assert 'cv2' not in sys.modules\n"
              f"faces = mivoraface.detect(numpy.load({str(tmp_path)!r}"
              " + '/photo.npy'))\n"
              "print(len(faces), faces[0].landmarks[30].tolist())\n")
    result = run_python(["-c", script], without_cv2(tmp_path))
    assert result.returncode == 0, result.stderr
    face, = mivoraface.detect(astronaut)
    assert result.stdout.split(None, 1) == [
        "1", str(face.landmarks[30].tolist()) + "\n"]


def test_readme_example_runs(tmp_path):
    example = tmp_path / "example.py"
    example.write_text(extract((REPO / "README.md").read_text()))
    result = run_python([str(example)])
    assert result.returncode == 0, result.stderr
    face, = mivoraface.detect(read_photo("astronaut.png"))
    lines = result.stdout.splitlines()
    assert lines[0] == "1 face(s)"
    x, y = face.landmarks[30]
    assert lines[-1] == f"tip of the nose: x {x:.1f}, y {y:.1f}"


def test_interpreter_exits_cleanly_with_the_library_in_use():
    # A tracker left open, a thread that detected, video state on the main
    # thread: all still alive when the interpreter shuts down.
    script = (
        "import threading, cv2, mivoraface\n"
        f"image = cv2.imread({ASTRONAUT!r})\n"
        "print('faces', len(mivoraface.detect(image)))\n"
        "print('video', max(len(mivoraface.detect(image, video=True))\n"
        "                   for _ in range(3)))\n"
        "tracker = mivoraface.Tracker()\n"
        "print('tracker', len(tracker.detect(image, video=False)))\n"
        "worker = threading.Thread(target=lambda: print('thread', max(\n"
        "    len(mivoraface.detect(image, video=True)) for _ in range(3))))\n"
        "worker.start()\n"
        "worker.join()\n"
        "print('done')\n")
    result = run_python(["-c", script])
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "faces 1", "video 1", "tracker 1", "thread 1", "done"]
    assert "Exception" not in result.stderr
    assert "Traceback" not in result.stderr
