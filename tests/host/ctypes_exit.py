# SPDX-License-Identifier: MIT
"""Loads MivoraFace with ctypes, as Python programs do, detects once on a raw
BGR photo (host_image.h's form), prints the face count and exits normally:
the interpreter's shutdown with the library loaded is what is tested.

usage: /usr/bin/python3 ctypes_exit.py LIBRARY PHOTO.bgr"""
import ctypes
import sys

library_path, photo_path = sys.argv[1:3]
with open(photo_path, "rb") as photo:
    magic, width, height = photo.readline().split()
    pixels = photo.read()
if magic != b"BGR" or len(pixels) != int(width) * int(height) * 3:
    sys.exit(f"{photo_path}: not a BGR photo")

library = ctypes.CDLL(library_path)
detect = library.MivoraFaceDetectStd
detect.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
detect.restype = ctypes.c_int
print("faces", detect(pixels, int(width), int(height), 0))
print("done")
