#!/usr/bin/env python3
"""Real Japanese text for the converter's tests and benchmark, from Debian's
Japanese manual pages (package manpages-ja), written by Python's codecs.

  manpages.py OUTDIR [LIMIT]

reads up to LIMIT pages (all by default) from /usr/share/man/ja and writes:

  text.utf8 text.euc text.sjis text.jis
      the pages in UTF-8, EUC-JP, Shift_JIS and ISO-2022-JP, one after
      another, each followed by a zero byte. Characters that have no place in
      JIS X 0208 (nor in ASCII or JIS X 0201 katakana) are replaced by the
      geta mark, and control characters other than tab and line feed are
      left out, so that every code holds the same text.
  outside.tsv
      every line that held a character outside JIS X 0208, one a line: its
      UTF-8 bytes, its EUC-JP bytes (JIS X 0212 where euc_jp has it, the
      geta mark for the rest), and the UTF-8 and EUC-JP bytes of the line
      with every such character replaced by the geta mark (hex, tab-separated).

Prints the number of pages, lines and bytes of UTF-8 written.
"""
import glob
import gzip
import os
import sys

GETA = '\u3013'


def in_jis(ch):
    """True for the characters every code of the converter holds."""
    if ch in '\t\n' or ' ' <= ch <= '~':
        return True
    if '\uff61' <= ch <= '\uff9f':
        return True
    try:
        b = ch.encode('euc_jp')
    except UnicodeEncodeError:
        return False
    return len(b) == 2 and b[0] >= 0xA1


def plain(text):
    return ''.join(ch if in_jis(ch) else GETA for ch in text if ch >= ' ' or ch in '\t\n')


def euc_with_x0212(line):
    out = b''
    for ch in line:
        try:
            b = ch.encode('euc_jp')
        except UnicodeEncodeError:
            b = b''
        out += b if in_jis(ch) or len(b) == 3 else GETA.encode('euc_jp')
    return out


def main():
    outdir = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else None
    pages = sorted(p for p in glob.glob('/usr/share/man/ja/**/*.gz', recursive=True)
                   if not os.path.islink(p))[:limit]
    os.makedirs(outdir, exist_ok=True)
    codecs = {'utf8': 'utf-8', 'euc': 'euc_jp', 'sjis': 'shift_jis', 'jis': 'iso2022_jp_ext'}
    files = {name: open(os.path.join(outdir, 'text.' + name), 'wb') for name in codecs}
    lines = size = 0
    with open(os.path.join(outdir, 'outside.tsv'), 'w') as outside:
        for page in pages:
            text = gzip.open(page).read().decode('utf-8', errors='replace')
            for line in text.split('\n'):
                if not all(in_jis(ch) or ch < ' ' for ch in line):
                    p = plain(line)
                    outside.write('\t'.join([line.encode('utf-8').hex(), euc_with_x0212(line).hex(),
                                             p.encode('utf-8').hex(), p.encode('euc_jp').hex()]) + '\n')
            text = plain(text)
            lines += text.count('\n')
            for name, codec in codecs.items():
                data = text.encode(codec)
                files[name].write(data + b'\0')
                if name == 'utf8':
                    size += len(data)
    for f in files.values():
        f.close()
    print(len(pages), lines, size)


if __name__ == '__main__':
    main()
