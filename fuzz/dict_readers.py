#!/usr/bin/env python3
"""Fuzz target: everything that reads Python objects and dictionaries.

The fuzz bytes drive a FuzzedDataProvider; fuzz/hostile.py turns them into
nested Python values, hostile objects among them, and a short program of
calls on the apply-edits encoder, the schema edit encoders and the query
encoder, which then encode. The generator is instrumented too while
fuzzing, so its own choices count as coverage and the fuzzer learns to
reach the hostile shapes.
"""
import gc
import sys

import common

if __name__ == "__main__" and sys.argv[1:2] != ["--replay"]:
    import atheris

    with atheris.instrument_imports(include=["hostile"]):
        import hostile
else:
    import hostile


def one_input(data):
    made = {"deep": False}
    try:
        run(data, made)
    finally:
        # hostile objects sit in cycles with their containers: collect them
        # now, so their __del__ runs within this input and replays alike.
        # The young generations hold them, unless building a deep chain ran
        # the collector often enough to move them to the old one.
        gc.collect(2 if made["deep"] else 1)


def run(data, made):
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    g = hostile.Gen(fdp)
    callback = None
    old_threshold = gc.get_threshold()
    if fdp.ConsumeIntInRange(0, 7) == 0 and common.allowed("gc_hooks"):
        hook = g.hook()

        def callback(phase, info):
            if phase == "start":
                try:
                    hook.fire()
                except Exception:
                    pass

        gc.callbacks.append(callback)
        gc.set_threshold(5, 2, 2)
    try:
        prog = hostile.Program(g)
        for _ in range(g.n(1, 6)):
            try:
                prog.step()
            except hostile.EXPECTED_HERE:
                pass
            if g.budget <= 0:
                break
        prog.finish()
    finally:
        made["deep"] = g.deep_made
        g.release()
        if callback is not None:
            gc.callbacks.remove(callback)
        gc.set_threshold(*old_threshold)


if __name__ == "__main__":
    common.main(one_input)
