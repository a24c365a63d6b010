#!/usr/bin/env python3
"""Reads a sequence metafile as others do, without our library: the pixels through VTK's MetaImage reader,
the frames' transforms through a few lines of plain Python over the header.

Usage: vtk_read.py RECORDING.seq.mhd
Prints
    dimensions W H N
    checksum CRC32        (of the W*H*N pixels, in file order, as 8 hex digits)
    frame I <Name>ToTrackerTransform V1 V2 ...   (one line per transform, by frame, then name)
Exits 77 when VTK for Python is missing, so that a test can be skipped rather than failed.
"""
import re
import sys
import zlib

try:
    import vtk
except ImportError:
    print("VTK for Python is not installed", file=sys.stderr)
    sys.exit(77)


def header_fields(path):
    """The header's "Name = value" lines up to ElementDataFile, which ends a MetaImage header."""
    fields = []
    with open(path, "rb") as header:
        for raw in header:
            line = raw.decode("utf-8", "replace").strip()
            if not line:
                continue
            name, equals, value = line.partition("=")
            if not equals:
                sys.exit(f"{path}: a line without '=': {line}")
            fields.append((name.strip(), value.strip()))
            if name.strip() == "ElementDataFile":
                break
    return fields


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    reader = vtk.vtkMetaImageReader()
    reader.SetFileName(path)
    reader.Update()
    image = reader.GetOutput()
    scalars = image.GetPointData().GetScalars()
    print("dimensions %d %d %d" % image.GetDimensions())
    pixels = bytes(memoryview(scalars)) if scalars is not None else b""
    print("checksum %08x" % (zlib.crc32(pixels) & 0xFFFFFFFF))

    frame_field = re.compile(r"Seq_Frame(\d+)_(\w+ToTrackerTransform)$")
    transforms = []
    for name, value in header_fields(path):
        match = frame_field.match(name)
        if match:
            transforms.append((int(match.group(1)), match.group(2), " ".join(value.split())))
    for index, name, value in sorted(transforms):
        print(f"frame {index} {name} {value}")


if __name__ == "__main__":
    main()
