"""The reference service: challenge tokens, telemetry assessment, bans and metrics over
HTTP, and the browser collector that feeds it.

``velkora.service:app`` is the application (nothing is read or opened at import; the
settings come from the environment when the server starts it) and
``velkora.service:create_app`` builds one for ``--factory`` or tests. Start it with
``python -m velkora.service``, which also sets up metrics for several workers.
"""

from .settings import Settings, SettingsError, from_env

# The packages of the service extra.
EXTRA_PACKAGES = frozenset({"starlette", "uvicorn", "prometheus_client", "h11", "anyio"})

try:
    from .app import create_app
except ModuleNotFoundError as error:
    if error.name is not None and error.name.partition(".")[0] in EXTRA_PACKAGES:
        raise ModuleNotFoundError(
            f"velkora.service needs {error.name}, which is missing: install the service extra, "
            "pip install 'velkora_core_rs[service]'", name=error.name) from error
    raise

app = create_app()

__all__ = ["Settings", "SettingsError", "app", "create_app", "from_env"]
