"""Run quorvane ladders on worker machines through Celery, with RabbitMQ (many
machines) or Redis (one) as the broker.

``submit_ladder(input, output, ...)`` queues one ladder; workers started with
``celery -A quorvane_queue worker --pool prefork`` encode it in a temporary
folder beside ``output`` and rename that folder to ``output`` once it is
complete. Installed with the ``celery`` extra of the quorvane wheel.
"""

from .celery import app
from .client import (BrokerUnreachable, LadderStillRunning, cancel_ladder, ladder_result,
                     submit_ladder)
from .request import LadderFailed

__all__ = ["app", "submit_ladder", "ladder_result", "cancel_ladder", "LadderFailed",
           "BrokerUnreachable", "LadderStillRunning"]
