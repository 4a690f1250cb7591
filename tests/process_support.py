"""Helpers of the tests that start servers of their own: a free loopback
port and a bounded wait."""

import socket
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(condition, what, seconds=120, step=0.1):
    """Waits until `condition()` is truthy and gives its value; a bound, not a
    measurement."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError(f"not within {seconds} s: {what}")
