"""Runs one of the tile module's invalidation tasks in a process of its own,
so that the module is imported with the Redis settings of this process's
environment, and prints its count: python module_task.py pattern 'plots:*'."""

import asyncio
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "host"))

from routers import tileport  # noqa: E402

TASKS = {
    "layer": tileport._invalidate_layer_cache_task,
    "all": tileport._invalidate_all_cache_task,
    "pattern": tileport._invalidate_cache_by_pattern_task,
}

if __name__ == "__main__":
    kind, *argument = sys.argv[1:]
    print(asyncio.run(TASKS[kind](*argument)))
