#!/usr/bin/env python3
"""Derives the kanji converter's tables and test data from Python's codecs.

  scripts/gen-kanji-data.py           writes tests/data/kanji/*.tsv
  scripts/gen-kanji-data.py --tables  writes lib/hobkanjitables.cpp

Nothing here is typed in by hand: every code comes from the euc_jp,
shift_jis and iso2022_jp codecs (cp932 only for the other code of each
Shift_JIS IBM extension), Unicode normalisation and character names, and
every expected MIME result from email.header, base64 and quopri.
"""
import base64
import email.header
import os
import quopri
import sys
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', 'tests', 'data', 'kanji')


def jis0208(ch):
    """The JIS X 0208 code of ch as (row byte, cell byte), or None."""
    try:
        b = ch.encode('euc_jp')
    except UnicodeEncodeError:
        return None
    if len(b) != 2 or b[0] < 0xA1:
        return None
    return b[0] & 0x7F, b[1] & 0x7F


def halfwidth_kana():
    """(JIS X 0201 code, character) for the 63 half-width katakana."""
    return [(c & 0x7F, bytes([0x8E, c]).decode('euc_jp')) for c in range(0xA1, 0xE0)]


def fullwidth(ch):
    """The full-width form of a half-width katakana: its compatibility
    decomposition, with a combining sound mark taken as the spacing mark."""
    full = unicodedata.normalize('NFKC', ch)
    if unicodedata.combining(full):
        full = unicodedata.lookup(unicodedata.name(full).replace('COMBINING ', ''))
    return full


def with_mark(full, mark):
    """The JIS X 0208 code of full combined with a sound mark, or None."""
    combined = unicodedata.normalize('NFC', full + mark)
    return jis0208(combined) if len(combined) == 1 else None


def kana_rows():
    rows = []
    for code, ch in halfwidth_kana():
        full = fullwidth(ch)
        rows.append((code, jis0208(full), with_mark(full, '\u3099'), with_mark(full, '\u309a')))
    return rows


def all_jis0208():
    for a in range(0xA1, 0xFF):
        for b in range(0xA1, 0xFF):
            try:
                yield bytes([a, b]).decode('euc_jp'), (a & 0x7F, b & 0x7F)
            except UnicodeDecodeError:
                pass


def ascii_counterpart(ch):
    """The printable ASCII character that ch decomposes to, or None."""
    nf = unicodedata.normalize('NFKC', ch)
    return ord(nf) if len(nf) == 1 and 0x21 <= ord(nf) <= 0x7E else None


def hexcode(pair):
    return '-' if pair is None else '%02X%02X' % pair


def write_kana():
    with open(os.path.join(DATA, 'kana.tsv'), 'w') as f:
        f.write('# JIS X 0201 katakana, its JIS X 0208 form, with voiced mark, with semi-voiced mark\n')
        for code, plain, voiced, semi in kana_rows():
            f.write('%02X\t%s\t%s\t%s\n' % (code, hexcode(plain), hexcode(voiced), hexcode(semi)))


def write_ascii():
    with open(os.path.join(DATA, 'fullwidth_ascii.tsv'), 'w') as f:
        f.write('# JIS X 0208 characters whose compatibility form is one printable ASCII character\n')
        for ch, pair in all_jis0208():
            a = ascii_counterpart(ch)
            if a is not None:
                f.write('%s\t%02X\n' % (hexcode(pair), a))


def b_word(charset, data):
    return '=?%s?B?%s?=' % (charset, base64.b64encode(data).decode())


def q_word(charset, data):
    out = []
    for byte in data:
        c = chr(byte)
        if c.isalnum() and byte < 0x80:
            out.append(c)
        elif c == ' ':
            out.append('_')
        else:
            out.append('=%02X' % byte)
    return '=?%s?Q?%s?=' % (charset, ''.join(out))


def header_to_euc(line):
    """What email.header reads from line, as EUC-JP bytes; Latin-1 words
    and plain text stay as their bytes."""
    unfolded = line.replace('\r\n ', ' ').replace('\n ', ' ')
    out = b''
    for data, charset in email.header.decode_header(unfolded):
        if isinstance(data, str):
            data = data.encode('latin-1')
        if charset is None or charset in ('iso-8859-1', 'us-ascii'):
            out += data
        else:
            out += data.decode(charset.split('*')[0]).encode('euc_jp')
    return out


KANJI = '漢字かな混じり文'
KANA = 'カタカナ'


def mime_cases():
    """(options, description, input) for the MIME reader."""
    jis = KANJI.encode('iso2022_jp')
    sjis = KANJI.encode('shift_jis')
    euc = KANJI.encode('euc_jp')
    kan = '漢'.encode('iso2022_jp')
    cases = [
        ('-e', 'B word', 'Subject: ' + b_word('ISO-2022-JP', jis)),
        ('-e', 'lower-case charset and encoding', b_word('iso-2022-jp', jis).replace('?B?', '?b?')),
        ('-e', 'Shift_JIS word', b_word('SHIFT_JIS', sjis)),
        ('-e', 'EUC-JP word', b_word('EUC-JP', euc)),
        ('-e', 'Q word', q_word('ISO-2022-JP', KANA.encode('iso2022_jp'))),
        ('-e', 'Latin-1 Q word', 'Re: ' + q_word('ISO-8859-1', 'café au lait'.encode('latin-1'))),
        ('-e', 'adjacent words join', b_word('ISO-2022-JP', '漢字'.encode('iso2022_jp')) + '  ' +
         b_word('ISO-2022-JP', 'かな'.encode('iso2022_jp'))),
        ('-e', 'folded words join', b_word('ISO-2022-JP', '漢字'.encode('iso2022_jp')) + '\n ' +
         b_word('EUC-JP', 'かな'.encode('euc_jp'))),
        ('-e', 'space before plain text stays', b_word('ISO-2022-JP', jis) + ' tail'),
        ('-e', 'plain text glued to words', 'a' + b_word('SHIFT_JIS', sjis) + 'b'),
        ('-e', 'unpadded final group of three', '=?ISO-2022-JP?B?%s?=' % base64.b64encode(kan).decode().rstrip('=')),
        ('-e', 'unpadded final group of two', '=?ISO-2022-JP?B?%s?=' % base64.b64encode(kan + b'AB').decode().rstrip('=')),
        ('-e', 'mixed charsets', b_word('SHIFT_JIS', sjis) + ' ' +
         q_word('ISO-8859-1', 'é'.encode('latin-1')) + ' ' + b_word('EUC-JP', euc)),
        ('-emN', 'lenient: us-ascii Q', q_word('us-ascii', b'hello there')),
        ('-emN', 'lenient: EUC-JP Q', q_word('EUC-JP', euc)),
        ('-emN', 'lenient: language suffix', b_word('ISO-2022-JP*ja', jis)),
    ]
    return cases


def whole_cases():
    """(options, description, input, expected) for whole-input decoding."""
    text = ('本日は晴天なり。 Testing 1 2 3\n' * 4 + 'かな=カナ \tend\n').encode('euc_jp')
    return [
        ('-emB', 'base64 body', base64.encodebytes(text).decode(), text),
        ('-emQ', 'quoted-printable body', quopri.encodestring(text).decode(), text),
    ]


def write_mime():
    with open(os.path.join(DATA, 'mime_decode.tsv'), 'w') as f:
        f.write('# options, what the case shows, input (hex), expected EUC-JP output (hex)\n')
        for options, what, line in mime_cases():
            f.write('%s\t%s\t%s\t%s\n' % (options, what, line.encode('latin-1').hex(),
                                          header_to_euc(line).hex()))
        for options, what, data, expected in whole_cases():
            f.write('%s\t%s\t%s\t%s\n' % (options, what, data.encode('ascii').hex(), expected.hex()))


def c_rows(values, fmt, per_line):
    return ['    ' + ', '.join(fmt % v for v in values[i:i + per_line]) + ','
            for i in range(0, len(values), per_line)]


def c_array(kind, name, values, fmt='0x%04X', per_line=8):
    return ['const %s %s[%d] = {' % (kind, name, len(values))] + c_rows(values, fmt, per_line) + ['};']


def kana_tables():
    plain, voiced, semi = [0] * 64, [0] * 64, [0] * 64
    for code, p, v, s in kana_rows():
        i = code - 0x20
        plain[i] = p[0] << 8 | p[1]
        voiced[i] = v[0] << 8 | v[1] if v else 0
        semi[i] = s[0] << 8 | s[1] if s else 0
    return plain, voiced, semi


def symbol_table():
    symbols = [0] * 94
    for ch, (row, cell) in all_jis0208():
        a = ascii_counterpart(ch)
        if row == 0x21 and a is not None:
            symbols[cell - 0x21] = a
    return symbols


def unicode_table():
    """The Unicode character of every JIS X 0208 code, row by row; 0 where
    the euc_jp codec has none."""
    table = [0] * (94 * 94)
    for ch, (row, cell) in all_jis0208():
        table[(row - 0x21) * 94 + cell - 0x21] = ord(ch)
    return table


def ibm_table():
    """For each Shift_JIS code 0xFA40..0xFC4B (lead - 0xFA) * 0xC0 + second
    byte - 0x40: the code below 0xF0 that cp932 reads as the same
    character, 0 where there is none."""
    first = {}
    for lead in list(range(0x81, 0xA0)) + list(range(0xE0, 0xF0)):
        for trail in range(0x40, 0xFD):
            try:
                first.setdefault(bytes([lead, trail]).decode('cp932'), lead << 8 | trail)
            except UnicodeDecodeError:
                pass
    table = [0] * (3 * 0xC0)
    for code in range(0xFA40, 0xFC4C):
        lead, trail = code >> 8, code & 0xFF
        if trail < 0x40 or trail > 0xFC or trail == 0x7F:
            continue
        try:
            table[(lead - 0xFA) * 0xC0 + trail - 0x40] = first.get(bytes([lead, trail]).decode('cp932'), 0)
        except UnicodeDecodeError:
            pass
    return table


def write_tables():
    plain, voiced, semi = kana_tables()
    lines = [
        '// Generated by scripts/gen-kanji-data.py --tables from Python\'s codecs.',
        '#include "hobkanjitables.h"',
        '',
        'namespace hobkanji {',
        '',
        '// clang-format off',
    ]
    lines += c_array('uint16_t', 'kKanaPlain', plain)
    lines += c_array('uint16_t', 'kKanaVoiced', voiced)
    lines += c_array('uint16_t', 'kKanaSemivoiced', semi)
    lines += c_array('char', 'kSymbolAscii', symbol_table(), '0x%02X', 12)
    lines += c_array('uint16_t', 'kJisUnicode', unicode_table(), '0x%04X', 10)
    lines += c_array('uint16_t', 'kIbmOther', ibm_table(), '0x%04X', 10)
    lines += ['// clang-format on', '', '}  // namespace hobkanji', '']
    with open(os.path.join(HERE, '..', 'lib', 'hobkanjitables.cpp'), 'w') as f:
        f.write('\n'.join(lines))


def main():
    if '--tables' in sys.argv[1:]:
        write_tables()
        return
    os.makedirs(DATA, exist_ok=True)
    write_kana()
    write_ascii()
    write_mime()


if __name__ == '__main__':
    main()
