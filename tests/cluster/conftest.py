"""Servers beyond one machine, on loopback: a Redis Cluster, a Sentinel group
and a streaming replica of PostgreSQL, all started by scripts/cluster.sh and
described in .services/cluster.env.

Every test here carries the `cluster` mark and skips, saying why, when those
servers are not running. The service runs in uvicorn workers of its own,
configured by their environment alone, as it would be deployed."""

import os
import subprocess
from pathlib import Path

import pytest

from dotenv import dotenv_values

from cluster_support import CLUSTER_ENV, CLUSTER_SH, OPERATOR_TOKEN, Worker

# Redis settings the workers must not inherit from .services/env when they
# are told to use a cluster or sentinels instead.
REDIS_KINDS = ("REDIS_CLUSTER_NODES", "REDIS_SENTINELS", "REDIS_SENTINEL_SERVICE")


def pytest_collection_modifyitems(items):
    here = Path(__file__).parent
    for item in items:
        if here in Path(str(item.fspath)).parents:
            item.add_marker(pytest.mark.cluster)


_cluster_problem = None


def cluster_problem():
    """None when scripts/cluster.sh reports every server running, else why not."""
    global _cluster_problem
    if _cluster_problem is None:
        if not CLUSTER_ENV.exists():
            _cluster_problem = f"{CLUSTER_ENV} does not exist"
        else:
            status = subprocess.run([str(CLUSTER_SH), "status"], capture_output=True, text=True)
            _cluster_problem = "" if status.returncode == 0 else "; ".join(
                (status.stdout + status.stderr).strip().splitlines())
    return _cluster_problem or None


@pytest.fixture(scope="session")
def cluster(services):
    """The settings of .services/cluster.env; skips when the servers are not up."""
    problem = cluster_problem()
    if problem:
        pytest.skip(f"cluster servers not running (start them with scripts/cluster.sh start): {problem}")
    return dotenv_values(CLUSTER_ENV)


@pytest.fixture
def worker(services):
    """worker(**env): a running worker whose environment is the tests' own
    plus `env` (a value of None removes the variable)."""
    started = []

    def start(**overrides):
        env = {k: v for k, v in os.environ.items() if k not in REDIS_KINDS}
        env["TERRAVA_OPERATOR_TOKEN"] = OPERATOR_TOKEN
        for name, value in overrides.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = str(value)
        started.append(Worker(env))
        return started[-1]

    yield start
    for w in started:
        w.stop()
