"""The reference service: challenge tokens, telemetry assessment, bans and metrics over
HTTP, and the browser collector that feeds it.

``velkora.service:app`` is the application (nothing is read or opened at import; the
settings come from the environment when the server starts it) and
``velkora.service:create_app`` builds one for ``--factory`` or tests. Start it with
``python -m velkora.service``, which also sets up metrics for several workers.
"""

from .app import create_app
from .settings import Settings, SettingsError, from_env

app = create_app()

__all__ = ["Settings", "SettingsError", "app", "create_app", "from_env"]
