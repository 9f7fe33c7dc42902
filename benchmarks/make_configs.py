"""Valid tuning configurations of any size, for the benchmarks.

The objects cycle through the kinds a real configuration holds: a discrete integer range with a
step, a discrete set of words, a continuous integer range and a discrete float range, each with
the shell commands of a sysctl-like parameter. Every configuration made here passes
`Vetplan().is_valid`. Usage: python benchmarks/make_configs.py OBJECTS PATH
"""

from __future__ import annotations

import sys

import yaml


def parameter(index: int) -> dict:
    name = f"kernel.knob_{index}"
    info = {
        "desc": f"Knob {index}: a made-up kernel parameter",
        "get": f"sysctl -n {name}",
        "set": f"sysctl -w {name}=$value",
        "needrestart": "false",
    }
    kind = index % 4
    if kind == 0:
        info.update(type="discrete", scope=[0, 64 + index], step=1, items=[], dtype="int")
    elif kind == 1:
        info.update(type="discrete", options=["always", "madvise", "never"], dtype="string")
    elif kind == 2:
        info.update(type="continuous", scope=[10, 1000 + index], items=[], dtype="int")
    else:
        info.update(type="discrete", scope=[0.5, 8.5], step=0.5, items=[], dtype="float")
    return {"name": name, "info": info}


def configuration(objects: int) -> dict:
    return {
        "iterations": 30,
        "timeout": 3600,
        "benchmark": "sysbench cpu --threads=8 --time=60 run > /tmp/bench.out",
        "startworkload": "",
        "stopworkload": "",
        "evaluations": [
            {
                "name": "events_per_second",
                "info": {"get": "awk '/events per second/ {print $4}' /tmp/bench.out", "type": "positive",
                         "target": "5%"},
            }
        ],
        "object": [parameter(index) for index in range(objects)],
    }


def yaml_text(objects: int) -> str:
    """The configuration as a person writes it: block style, short lists inline, keys in the usual order."""
    return yaml.safe_dump(configuration(objects), sort_keys=False, allow_unicode=True, width=200,
                          default_flow_style=None)


def write(path: str, objects: int) -> str:
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(yaml_text(objects))
    return path


if __name__ == "__main__":
    write(sys.argv[2], int(sys.argv[1]))
