"""Logging of the registry application."""

import logging
import os

_NAME = "registry"


def get_logger(name: str = _NAME) -> logging.Logger:
    """The application's logger; the first call attaches a stream handler
    (level from LOG_LEVEL, default INFO) unless one is there already."""
    logger = logging.getLogger(name)
    root = logging.getLogger(_NAME)
    if not root.handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(os.environ.get("LOG_LEVEL", "INFO").upper())
    return logger
