"""Run quorvane ladders on worker machines through Celery and Redis.

``submit_ladder(input, output, ...)`` queues one ladder; workers started with
``celery -A quorvane_queue worker --pool prefork`` encode it in a temporary
folder beside ``output`` and rename that folder to ``output`` once it is
complete. Installed with ``pip install quorvane[celery]``.
"""

from .celery import app
from .tasks import LadderFailed, encode_ladder, submit_ladder

__all__ = ["app", "encode_ladder", "submit_ladder", "LadderFailed"]
