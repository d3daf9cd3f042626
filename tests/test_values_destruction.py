"""Very long chains of compound values are released without recursion: a
chain of 200,000 levels built from Python must not overflow the stack when
its last reference goes. Each case runs in a child interpreter, so a crash
fails the test instead of ending the run."""
import os
import subprocess
import sys
import textwrap

import pytest

LEVELS = 200_000

CHAINS = {
    "arrays": """
        v = tk.ArrayValue()
        for _ in range(N):
            outer = tk.ArrayValue()
            outer.add_value(v)
            v = outer
    """,
    "entities": """
        v = tk.EntityValue()
        for _ in range(N):
            outer = tk.EntityValue()
            outer.set_key_value("p", v)
            v = outer
    """,
    "objects": """
        v = tk.ObjectValue()
        for _ in range(N):
            outer = tk.ObjectValue()
            outer.set_key_value("p", v)
            v = outer
    """,
    "relationship_ids": """
        v = tk.RelationshipValue()
        for _ in range(N):
            outer = tk.RelationshipValue()
            outer.set_related_entity_ids(v, v)
            v = outer
    """,
    "entity_ids": """
        v = tk.EntityValue()
        for _ in range(N):
            outer = tk.EntityValue()
            outer.set_id(v)
            v = outer
    """,
    "mixed": """
        v = tk.ArrayValue()
        for i in range(N):
            outer = [tk.ArrayValue, tk.ObjectValue, tk.EntityValue, tk.RelationshipValue][i % 4]()
            if i % 4 == 0:
                outer.values = [1, v, "x"]
            else:
                outer.set_key_value("a", 1)
                outer.set_key_value("b", v)
            v = outer
    """,
}

# how the last reference goes
ENDINGS = {
    "del": "del v, outer",
    "values_replaced": "holder = tk.ArrayValue(); holder.add_value(v); del v, outer; holder.values = []",
    "put_value_at_shrinks": "holder = tk.ArrayValue(); holder.values = [1, v]; del v, outer; holder.put_value_at(0, 2)",
    "clear": "holder = tk.EntityValue(); holder.set_key_value('k', v); del v, outer; holder.clear()",
    "set_key_value": "holder = tk.ObjectValue(); holder.set_key_value('k', v); del v, outer; "
                     "holder.set_key_value('k', 0)",
}


def run(program):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=env, timeout=300)


CASES = [(chain, "del") for chain in CHAINS] + \
    [(chain, ending) for chain in ("arrays", "mixed") for ending in ENDINGS if ending != "del"]


@pytest.mark.parametrize("chain,ending", CASES, ids=["%s-%s" % c for c in CASES])
def test_long_chains_are_released_without_recursion(chain, ending):
    program = "import _tolmirkenvor as tk\nN = %d\n" % LEVELS + textwrap.dedent(CHAINS[chain]) + \
        ENDINGS[ending] + "\nprint('released')\n"
    p = run(program)
    assert p.returncode == 0 and p.stdout.strip() == "released", (p.returncode, p.stderr[-2000:])


def test_shared_parts_stay_alive_when_a_chain_goes():
    program = textwrap.dedent("""
        import _tolmirkenvor as tk
        keep = tk.EntityValue()
        keep.set_key_value("name", "kept")
        v = tk.ArrayValue()
        v.add_value(keep)
        for _ in range(%d):
            outer = tk.ArrayValue()
            outer.values = [v, keep]
            v = outer
        del v, outer
        assert keep.query_value("name") == "kept"
        print("released")
    """ % LEVELS)
    p = run(program)
    assert p.returncode == 0 and p.stdout.strip() == "released", (p.returncode, p.stderr[-2000:])
