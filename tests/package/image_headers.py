"""Which files are program images by their first bytes, whatever their names: the
program's signature check and the release tool are both held to these cases."""
import struct


def dos_header(offset, magic=b"MZ"):
    """A DOS header whose last four bytes name `offset` as the PE header's place."""
    return magic + bytes(58) + struct.pack("<I", offset)


# Name -> bytes of a program image, or None for a real program (unsigned).
IMAGES = {
    "plugin.ocx": None,
    "bin/tool.com": None,
    "lib/helper": None,  # no extension at all
    "docs/readme.txt": None,  # an image named as text
    "the header alone.bin": dos_header(64) + b"PE\0\0",  # "PE\0\0" ends the file
    # Across the pieces extraction writes in (256 KiB), and far from the DOS header.
    "straddling.bin": dos_header(262142) + bytes(262142 - 64) + b"PE\0\0",
}

# Name -> bytes that only look like a program image.
NOT_IMAGES = {
    "notes.txt": b"MZ is how these notes start, and no more than that.\n" * 3,
    "short.bin": b"MZ",  # less than a DOS header
    "one byte short.bin": dos_header(65) + b"PE\0\0",  # "PE\0\0" would end past the file
    "far.bin": dos_header(0xFFFFFFFC) + b"PE\0\0" * 16,  # an offset far past the end
    "elsewhere.bin": dos_header(130) + b"PE\0\0" * 20,  # not at the offset named
    "zm.bin": dos_header(64, b"ZM") + b"PE\0\0",
    "lower case.bin": dos_header(64) + b"pe\0\0",
}
