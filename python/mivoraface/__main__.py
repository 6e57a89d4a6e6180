# SPDX-License-Identifier: MIT
"""python3 -m mivoraface [--draw OUT.png] PHOTO...

Prints each photo's faces (box, confidence) and their 68 landmark points;
--draw writes the first photo with its faces drawn. Reading and writing
photos uses OpenCV for Python (Debian package python3-opencv).
"""
import argparse
import sys

import mivoraface

PROGRAM = "python3 -m mivoraface"


def _import_cv2():
    try:
        import cv2
    except ImportError as error:
        sys.exit(f"{PROGRAM}: reading photos needs OpenCV for Python (cv2), "
                 f"which cannot be imported ({error}); install the Debian "
                 "package python3-opencv")
    return cv2


def _print_faces(path, faces):
    print(f"{path}: {len(faces)} face{'' if len(faces) == 1 else 's'}")
    for index, face in enumerate(faces):
        x, y, width, height = face.box
        print(f"  face {index}: box x {x:.2f} y {y:.2f} width {width:.2f} "
              f"height {height:.2f} angle {face.angle:.2f}, "
              f"confidence {face.confidence:.3f}")
        for point, (px, py) in enumerate(face.landmarks):
            print(f"    {point:2d} {px:.2f} {py:.2f}")


def _draw(cv2, image, faces):
    drawn = image.copy()
    for face in faces:
        x, y, width, height = face.box
        centre = (x + width / 2, y + height / 2)
        corners = cv2.boxPoints((centre, (width, height), face.angle))
        cv2.polylines(drawn, [corners.round().astype("int32")], True,
                      (0, 255, 0), 1, cv2.LINE_AA)
        for px, py in face.landmarks:
            cv2.circle(drawn, (int(round(px)), int(round(py))), 2,
                       (0, 0, 255), -1, cv2.LINE_AA)
    return drawn


def _write(cv2, path, image):
    """True when image was written to path."""
    try:
        return bool(cv2.imwrite(path, image))
    except cv2.error:
        # No writer for the name's extension, or no extension at all.
        return False


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Find the faces in photos and print their box, "
        "confidence and 68 landmark points (MivoraFace "
        f"{mivoraface.__version__}).")
    parser.add_argument("photos", nargs="+", metavar="PHOTO")
    parser.add_argument("--draw", metavar="OUT.png",
                        help="write the first photo with the box and the "
                        "points of each face drawn")
    arguments = parser.parse_args(argv)
    cv2 = _import_cv2()

    status = 0
    for number, path in enumerate(arguments.photos):
        image = cv2.imread(path, cv2.IMREAD_COLOR)
        if image is None:
            print(f"{PROGRAM}: cannot read {path} as a photo",
                  file=sys.stderr)
            if number == 0 and arguments.draw:
                print(f"{PROGRAM}: nothing to draw on: {arguments.draw} "
                      "not written", file=sys.stderr)
            status = 1
            continue
        try:
            faces = mivoraface.detect(image)
        except mivoraface.MivoraFaceError as error:
            sys.exit(f"{PROGRAM}: {path}: {error}")
        _print_faces(path, faces)
        if number == 0 and arguments.draw:
            if not _write(cv2, arguments.draw, _draw(cv2, image, faces)):
                print(f"{PROGRAM}: cannot write {arguments.draw} (a "
                      "missing folder, no permission, or a name whose "
                      "extension is not an image format such as .png or "
                      ".jpg)", file=sys.stderr)
                status = 1
    return status


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader left early (| head): not an error of ours.
        sys.stderr.close()
        sys.exit(1)
