"""What a call costs that the trace leaves out, in instructions (callgrind).

Per call of a small function (a method call with one argument, from a loop of the user's
own code), four ways, each the difference of two runs of different lengths so that start-up
cancels out:
  bare       no profiler
  excluded   profiled, the function's file left out by the filters (a library's cost)
  left out   profiled, the function past its call budget (its calls counted and timed)
  recorded   profiled, every call recorded (call_budget 0)
The targets: a call left out by the budget at most 1.2x the cost of an excluded call.

    python bench/budget_cost.py [--python PATH] [--calls N]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from callgrind_count import total_instructions  # noqa: E402

_LIBRARY = """
class Point:
    def __init__(self):
        self.x = 0
    def step(self, d):
        self.x += d
        return self.x
"""

_PROGRAM = """
import sys
sys.path.insert(0, {folder!r})
from {module} import Point
mode, calls = sys.argv[1], int(sys.argv[2])

def run(n):
    p = Point()
    for i in range(n):
        p.step(1)

mode = mode.replace("_", " ")
if mode == "bare":
    run(calls)
else:
    from sarv.profiler import Profiler
    config = {{"call_budget": 0 if mode == "recorded" else 100, "max_bytes": 0}}
    if mode == "excluded":
        config["filters"] = {{"include_frames": [], "ignore_frames": [{module!r}]}}
    profiler = Profiler(config, db_path={db!r})
    profiler.start()
    run(calls)
    profiler.stop(save=False)
"""


def per_call(python, program, mode, low, high, env):
    a = total_instructions([python, program, mode, str(low)], 600, env)
    b = total_instructions([python, program, mode, str(high)], 600, env)
    return (b - a) / (high - low)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--calls", type=int, default=20000, help="calls in the longer run (the shorter makes half)")
    options = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder:
        module = "budget_cost_lib"
        with open(os.path.join(folder, module + ".py"), "w") as f:
            f.write(_LIBRARY)
        program = os.path.join(folder, "program.py")
        with open(program, "w") as f:
            f.write(_PROGRAM.format(folder=folder, module=module, db=os.path.join(folder, "t.sqlite3")))
        env = dict(os.environ, SARV_SAVE_PROCESS="0")
        high = options.calls
        low = high // 2
        costs = {}
        for mode in ("bare", "excluded", "left out", "recorded"):
            costs[mode] = per_call(options.python, program, mode.replace(" ", "_"), low, high, env)
        print("instructions per call (%s, callgrind):" % options.python)
        for mode, cost in costs.items():
            print("  %-9s %9.0f   over bare %8.0f" % (mode, cost, cost - costs["bare"]))
        print(
            "left out / excluded: %.2fx (whole call); %.2fx (the profiler's share)"
            % (
                costs["left out"] / costs["excluded"],
                (costs["left out"] - costs["bare"]) / max(1.0, costs["excluded"] - costs["bare"]),
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
