"""The package logger."""

import logging

LOGGER_NAME = "vantorel"

# A library stays quiet unless the application configures logging.
logging.getLogger(LOGGER_NAME).addHandler(logging.NullHandler())


def get_logger() -> logging.Logger:
    """Return the vantorel logger."""
    return logging.getLogger(LOGGER_NAME)
