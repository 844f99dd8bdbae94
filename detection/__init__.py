"""The detection benchmark: bots built with the public tools attackers use, real people
from ``../shared/data``, and the captures that turn what a bot dispatches into telemetry.

Everything at this level imports only the standard library, so that the families that
need none (``naive``, ``replay``, ``mimic``) run where the adversaries' packages are not
installed. ``python -m detection.build`` writes the labelled data sets (see README.md).
"""

from __future__ import annotations
