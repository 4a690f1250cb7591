"""Logging of the registry application."""

import logging
import os

_NAME = "registry"


def get_logger(name: str = _NAME) -> logging.Logger:
    """The application's logger (level from LOG_LEVEL, default INFO). Records
    go to the root logger's handlers; when the process has configured none,
    a stream handler is set up there."""
    if not logging.getLogger().handlers:
        logging.basicConfig(format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    logger = logging.getLogger(name)
    if logger.level == logging.NOTSET:
        logger.setLevel(os.environ.get("LOG_LEVEL", "INFO").upper())
    return logger
