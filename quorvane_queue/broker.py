"""The broker (or the result store) going away, told apart from everything
else, and ridden out: a restart of RabbitMQ or Redis is waited for by the
client that waits for a ladder and by the task that sends a ladder's
windows alike."""

from __future__ import annotations

import logging
import socket
import time
from typing import Callable, TypeVar

from kombu.exceptions import OperationalError

logger = logging.getLogger(__name__)

# How long a broker that went away is waited for, and the pause between tries.
RECONNECT_SECONDS = 600
RECONNECT_PAUSE_SECONDS = 2.0

Result = TypeVar("Result")


def _transport_errors(app) -> tuple[type[BaseException], ...]:
    """The transport's own errors for a lost connection. The transports
    count built-in ones among them too (py-amqp any OSError, a file's too;
    kombu's Redis transport KeyError): only the libraries' own are kept,
    built-in connection errors being judged apart."""
    connection = app.connection_for_read()
    try:
        errors = (*connection.connection_errors, *connection.channel_errors)
    finally:
        connection.release()
    return tuple(error for error in errors if error.__module__ != "builtins")


def broker_lost(error: BaseException, app) -> bool:
    """Whether `error` is the broker or the result store going away (a
    restart, a network cut), not a ladder's own failure nor its storage's."""
    if isinstance(error, (OperationalError, ConnectionError, TimeoutError, socket.gaierror)):
        return True
    if isinstance(error, _transport_errors(app)):
        return True
    # Celery's result consumer gives up reconnecting with one that speaks of
    # restarting the application.
    return isinstance(error, RuntimeError) and "reconnect" in str(error)


def ride_out(call: Callable[[], Result], app, lost: Callable[[BaseException], bool] | None = None,
             on_lost: Callable[[], None] | None = None) -> Result:
    """`call`'s answer, tried again while the broker is away (`lost` says
    when an error means that; broker_lost by default), up to
    RECONNECT_SECONDS; `on_lost` drops what the loss left dead. Past that,
    the last error."""
    lost = lost or (lambda error: broker_lost(error, app))
    lost_since = None
    while True:
        try:
            return call()
        except Exception as error:
            if not lost(error):
                raise
            lost_since = lost_since or time.monotonic()
            if time.monotonic() - lost_since > RECONNECT_SECONDS:
                raise
            logger.warning("lost the connection to the broker (%s): reconnecting", error)
            if on_lost is not None:
                on_lost()
            time.sleep(RECONNECT_PAUSE_SECONDS)
