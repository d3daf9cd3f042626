#!/usr/bin/env python3
"""Fuzz target: the six schema edit response decoders.

Input: one byte choosing the decoder (modulo 6), then the response body. The
body is decoded as bytes, then as str (its Latin-1 reading, so other bytes
reach the parser) into the same decoder, and the results read after each.
"""
import _tolmirkenvor as tk

import common

DECODERS = [
    tk.GraphNamedObjectTypeAddsResponseDecoder,
    tk.GraphNamedObjectTypeUpdateResponseDecoder,
    tk.GraphNamedObjectTypeDeleteResponseDecoder,
    tk.GraphPropertyAddsResponseDecoder,
    tk.GraphPropertyUpdateResponseDecoder,
    tk.GraphPropertyDeleteResponseDecoder,
]


def results(dec):
    try:
        got = dec.get_results()
    except common.EXPECTED:
        return
    assert isinstance(got, dict)


def one_input(data):
    if not data:
        return
    dec = DECODERS[data[0] % len(DECODERS)]()
    body = data[1:]
    assert dec.decode(body) is None
    results(dec)
    dec.decode(body.decode("latin-1"))
    results(dec)


if __name__ == "__main__":
    common.main(one_input)
