#!/usr/bin/env python3
"""Fuzz target: the streamed query result decoder.

Input: three control bytes, then the body.

  byte 0, bits 0-1  chunking: whole body / one byte per chunk / cut points
                    drawn from a PRNG seeded with byte 1 / chunks of
                    byte 1 + 1 bytes
          bit 2     push every chunk first, then read (else push one, read)
          bit 3     give the decoder a data model with a spatial reference
          bit 4     re-frame: cut the body into length-prefixed messages,
                    keep the first (the header) and compress every other one
                    here (so the fuzzer's frames reach the parser inflated)
          bit 5     compress with gzip rather than zlib (with bit 4)
          bit 6     hand chunks over as memoryviews instead of bytes
          bit 7     keep pushing after the decoder failed
  byte 1            parameter of the chunking; with bit 4, bits 0-3 are also
                    the compression level (0-9)
  byte 2, bits 0-2  Python code run in the middle of a row's conversion:
                    0 none; uuid.UUID replaced by a callable that 1 calls
                    next_row, 2 pushes a chunk and calls next_row, 3 calls
                    get_current_row, 4 raises, 5 returns an int; 6 a garbage
                    collector callback calling next_row; 7 a replacement
                    that drops the decoder's data model
                    (TK_FUZZ_SKIP=reentrant_decoder leaves these out)
          bit 3     without a hook: read every row kept, as plain structures
                    (so that rows are made ahead in runs), by next_row() and
                    get_current_row() or, with bit 4, by iteration; and
                    compare with a second decoder made to convert each row
                    when asked (a get_value call before each row)
"""
import gc
import gzip
import random
import uuid
import zlib

import _tolmirkenvor as tk

import common

# wkid 4326, a database-native identifier and a UUID method: the smallest
# data model the decoder accepts, so rows get a spatial reference.
MODEL = bytes.fromhex("120308e6217a080a020a0012020802")
assert tk.decode_data_model_from_protocol_buffer(MODEL) is not None

MAX_ROWS = 200000


def chunks(body, mode, param):
    if not body:
        return []
    if mode == 0:
        return [body]
    if mode == 1:
        return [body[i:i + 1] for i in range(len(body))]
    if mode == 2:
        rng = random.Random(param * 7919 + len(body))
        n = min(len(body) - 1, rng.randint(1, 16))
        cuts = sorted(rng.sample(range(1, len(body)), n)) if n > 0 else []
        out, prev = [], 0
        for c in cuts + [len(body)]:
            out.append(body[prev:c])
            prev = c
        return out
    size = param + 1
    return [body[i:i + size] for i in range(0, len(body), size)]


def reframe(body, use_gzip, level):
    messages, tail = common.split_delimited(body)
    if not messages:
        return body
    out = [common.varint(len(messages[0])), messages[0]]
    for m in messages[1:]:
        packed = gzip.compress(m, compresslevel=max(level, 1)) if use_gzip else zlib.compress(m, level)
        out += [common.varint(len(packed)), packed]
    out.append(tail)
    return b"".join(out)


class Hostile(Exception):
    pass


EXPECTED = common.EXPECTED + (Hostile,)
REAL_UUID = uuid.UUID


def install_hook(kind, d):
    """Python code that runs while the decoder converts a row; returns the
    function that removes it."""
    if kind == 6:
        def callback(phase, info):
            if phase == "start":
                d.next_row()
        old = gc.get_threshold()
        gc.callbacks.append(callback)
        gc.set_threshold(3, 2, 2)

        def remove():
            gc.callbacks.remove(callback)
            gc.set_threshold(*old)
        return remove

    def replacement(*args, **kwargs):
        if kind == 1:
            d.next_row()
        elif kind == 2:
            d.push_buffer(b"\x00")
            d.next_row()
        elif kind == 3:
            d.get_current_row()
        elif kind == 4:
            raise Hostile("uuid.UUID")
        elif kind == 5:
            return 5
        else:
            d.data_model = None
        return REAL_UUID(*args, **kwargs)

    uuid.UUID = replacement

    def remove():
        uuid.UUID = REAL_UUID
    return remove


def read_rows(d, state):
    while d.next_row():
        state["rows"] += 1
        if state["rows"] > MAX_ROWS:
            raise AssertionError("next_row does not end")
        try:
            row = d.get_current_row()
        except EXPECTED:
            row = None
        width = len(row) if isinstance(row, list) else 4
        for i in (-1, 0, width - 1, width, 1 << 31, -(1 << 31)):
            try:
                d.get_value(i)
            except EXPECTED:
                pass


def one_input(data):
    if len(data) < 3:
        return
    flags, param, hook, compare = data[0], data[1], data[2] & 0x07, data[2] & 0x08
    if not common.allowed("reentrant_decoder"):
        hook = 0
    body = data[3:]
    if flags & 0x10:
        body = reframe(body, bool(flags & 0x20), param & 0x0F if (param & 0x0F) <= 9 else 9)
    pieces = chunks(body, flags & 0x03, param)
    if flags & 0x40:
        pieces = [memoryview(p) for p in pieces]

    if compare and not hook:
        compare_readers(flags, pieces, bool(data[2] & 0x10))
        return

    d = tk.GraphQueryDecoder()
    if flags & 0x08:
        # held by the decoder alone, so dropping it frees it
        d.data_model = tk.decode_data_model_from_protocol_buffer(MODEL)
    remove = install_hook(hook, d) if hook else None
    try:
        decode(d, flags, pieces)
    finally:
        if remove is not None:
            remove()


def kept_rows(d, plain, iterate, out):
    # A failed row is recorded by its exception's type; reading goes on.
    it = iter(d)
    while len(out) <= MAX_ROWS:
        if plain:
            d.get_value(-1)  # ends any run: the next row is converted when asked
        try:
            if iterate and not plain:
                out.append(next(it))
                continue
            if not d.next_row():
                return
            out.append(d.get_current_row())
        except StopIteration:
            return
        except EXPECTED as e:
            out.append(type(e))
    raise AssertionError("next_row does not end")


def compare_readers(flags, pieces, iterate):
    runs, plain = tk.GraphQueryDecoder(), tk.GraphQueryDecoder()
    got = {runs: [], plain: []}
    for d in (runs, plain):
        if flags & 0x08:
            d.data_model = tk.decode_data_model_from_protocol_buffer(MODEL)
    for p in pieces:
        for d in (runs, plain):
            d.push_buffer(p)
            if not flags & 0x04:
                kept_rows(d, d is plain, iterate, got[d])
    for _ in range(len(pieces) + 1):
        for d in (runs, plain):
            kept_rows(d, d is plain, iterate, got[d])
    # repr: NaN values compare unequal to themselves
    assert repr(got[runs]) == repr(got[plain]), "rows made ahead differ from rows made when asked"
    assert (runs.error.error_code, runs.has_error()) == (plain.error.error_code, plain.has_error())


def decode(d, flags, pieces):
    state = {"rows": 0}
    push_all = bool(flags & 0x04)
    for p in pieces:
        accepted = d.push_buffer(p)
        if accepted and d.has_error():
            raise AssertionError("a failed decoder took more input")
        if not accepted and not d.has_error() and len(p):
            raise AssertionError("a healthy decoder refused input")
        if d.has_error() and not flags & 0x80:
            break
        if not push_all:
            read_rows(d, state)
    # each false next_row consumes one queued chunk: drain what was pushed
    for _ in range(len(pieces) + 1 if push_all else 1):
        read_rows(d, state)
    assert not d.next_row()
    # past the last row: every entry None, or the header is still missing
    try:
        row = d.get_current_row()
        assert all(v is None for v in row), row
    except EXPECTED:
        pass
    if d.has_error():
        try:
            assert isinstance(d.error.error_message, str)
        except UnicodeDecodeError:  # the server's text is passed on as it came
            pass
        assert d.push_buffer(b"\x00") is False


if __name__ == "__main__":
    common.main(one_input)
