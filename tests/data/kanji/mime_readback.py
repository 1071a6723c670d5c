#!/usr/bin/env python3
"""Reads back MIME output with Python's decoders, one case a line.

Input lines: "words<TAB>hex", "base64<TAB>hex" or "qp<TAB>hex". Output lines:
for "words" the text that email.header reads (after RFC 5322 unfolding) as
UTF-8 hex; for the others the decoded bytes as hex.
"""
import base64
import email.header
import quopri
import re
import sys

# ISO-2022-JP words may hold JIS X 0201 katakana (ESC ( I), which only the
# extended codec reads.
CODECS = {'iso-2022-jp': 'iso2022_jp_ext'}


def words(data):
    header = re.sub(r'\r?\n(?=[ \t])', '', data.decode('ascii'))  # RFC 5322 unfolding
    text = ''
    for chunk, charset in email.header.decode_header(header):
        if isinstance(chunk, str):
            text += chunk
        else:
            text += chunk.decode(CODECS.get(charset, charset or 'ascii'))
    return text.encode('utf-8')


for line in sys.stdin:
    kind, hexdata = line.rstrip('\n').split('\t')
    data = bytes.fromhex(hexdata)
    if kind == 'words':
        out = words(data)
    elif kind == 'base64':
        out = base64.b64decode(data)
    else:
        out = quopri.decodestring(data)
    print(out.hex())
