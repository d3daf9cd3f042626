#!/usr/bin/env python3
"""Fuzz target: the apply-edits result decoder.

Input: a GraphApplyEditsResult body. It is decoded and its results read;
then decoded a second time into the same decoder (results accumulate), and
the first half of the body into a fresh one.
"""
import _tolmirkenvor as tk

import common


def results(dec):
    try:
        got = dec.get_results()
    except common.EXPECTED:
        return
    assert isinstance(got, dict)


def check(err):
    assert isinstance(err, tk.Error)
    assert err.error_code in (0, -3), err.error_code


def one_input(data):
    dec = tk.GraphApplyEditsDecoder()
    check(dec.decode(data))
    results(dec)
    check(dec.decode(data))
    results(dec)
    half = tk.GraphApplyEditsDecoder()
    check(half.decode(data[:len(data) // 2]))
    results(half)


if __name__ == "__main__":
    common.main(one_input)
