#!/usr/bin/env python3
"""Draws the 16x16 button pictures of the login and settings dialogs (standard library only)."""
import os
import struct
import zlib

PALETTE = {
    '.': (0, 0, 0, 0),
    'k': (40, 40, 40, 255),        # outline
    'y': (230, 180, 40, 255),      # gold
    'Y': (250, 220, 110, 255),     # gold highlight
    'r': (200, 30, 30, 255),       # red
    'R': (240, 90, 80, 255),       # red highlight
    'g': (40, 150, 50, 255),       # green
    'G': (110, 210, 100, 255),     # green highlight
    's': (150, 155, 165, 255),     # steel
    'S': (210, 215, 225, 255),     # steel highlight
    'd': (90, 95, 105, 255),       # steel shadow
    'b': (60, 200, 90, 255),       # lamp
}

ICONS = {
    # BUSpeich "Anmelden": a key
    'anmelden': [
        '................',
        '................',
        '..kkkk..........',
        '.kYYyyk.........',
        'kYy..yyk........',
        'ky....yk........',
        'ky....ykkkkkkkk.',
        'ky....yYYYYYYYyk',
        'kyy..yykkkykkyyk',
        '.kyyyyk..kyk.kk.',
        '..kkkk....k.....',
        '................',
        '................',
        '................',
        '................',
        '................',
    ],
    # BUAusst "Abbruch": a red cross
    'abbruch': [
        '................',
        '.kk..........kk.',
        'kRrk........kRrk',
        'krrrk......krrrk',
        '.krrrk....krrrk.',
        '..krrrk..krrrk..',
        '...krrrkkrrrk...',
        '....krrrrrrk....',
        '....krrrrrrk....',
        '...krrrkkrrrk...',
        '..krrrk..krrrk..',
        '.krrrk....krrrk.',
        'krrrk......krrrk',
        'krrk........krrk',
        '.kk..........kk.',
        '................',
    ],
    # BUServer "Server": a server tower
    'server': [
        '....kkkkkkkk....',
        '...kSSSSSSSSk...',
        '...kSssssssdk...',
        '...kSkkkkkkdk...',
        '...kSssssssdk...',
        '...kSkkkkkkdk...',
        '...kSssssssdk...',
        '...kSssssssdk...',
        '...kSssssbsdk...',
        '...kSssssssdk...',
        '...kSssssssdk...',
        '...kSssssssdk...',
        '...kSssssssdk...',
        '...kddddddddk...',
        '..kkkkkkkkkkkk..',
        '................',
    ],
    # BUEdit latched: fields locked
    'schloss-zu': [
        '................',
        '.....kkkkkk.....',
        '....kssssssk....',
        '...ksk....ksk...',
        '...ksk....ksk...',
        '...ksk....ksk...',
        '..kkkkkkkkkkkk..',
        '..kYYYYYYYYYyk..',
        '..kYyyyyyyyyyk..',
        '..kYyyykkyyyyk..',
        '..kYyyykkyyyyk..',
        '..kYyyyykyyyyk..',
        '..kYyyyykyyyyk..',
        '..kyyyyyyyyyyk..',
        '..kkkkkkkkkkkk..',
        '................',
    ],
    # BUEdit released: fields open to changes
    'schloss-offen': [
        '.........kkkkkk.',
        '........kssssssk',
        '.......ksk....ks',
        '.......ksk....ks',
        '.......ksk......',
        '.......ksk......',
        '..kkkkkkkkkkkk..',
        '..kYYYYYYYYYyk..',
        '..kYyyyyyyyyyk..',
        '..kYyyykkyyyyk..',
        '..kYyyykkyyyyk..',
        '..kYyyyykyyyyk..',
        '..kYyyyykyyyyk..',
        '..kyyyyyyyyyyk..',
        '..kkkkkkkkkkkk..',
        '................',
    ],
    # BUZurück "Zurück": a green arrow pointing left
    'zurueck': [
        '................',
        '................',
        '......kk........',
        '.....kGk........',
        '....kGgk........',
        '...kGgkkkkkkkkk.',
        '..kGggGGGGGGGGk.',
        '.kGggggggggggggk',
        '..kggggggggggggk',
        '...kggkkkkkkkkk.',
        '....kggk........',
        '.....kgk........',
        '......kk........',
        '................',
        '................',
        '................',
    ],
}


def png(rows):
    assert len(rows) == 16 and all(len(r) == 16 for r in rows)
    raw = b''.join(b'\x00' + b''.join(bytes(PALETTE[c]) for c in row) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)

    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 16, 16, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    for name, rows in ICONS.items():
        with open(os.path.join(here, name + '.png'), 'wb') as f:
            f.write(png(rows))
