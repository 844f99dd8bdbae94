"""An integrator's FastAPI app protecting its own sign-in route with velkora, in process.

The page loads the collector from the service mounted at /velkora (the collector asks
/velkora/v1/challenge for its tokens) and posts the envelope with the form, in the hidden
field ``velkora`` the collector fills. The route gets the assessment as a dependency;
refusals (a bad, used or expired token, a banned address) are answered as problem
documents before the route runs.

    pip install fastapi python-multipart
    VELKORA_SIGNING_KEYS=k1:<32 bytes or more> uvicorn --factory examples.protected_app:build
"""

# No "from __future__ import annotations": FastAPI reads the route's annotations, and the
# dependency in them names a local variable.
from typing import Annotated, Any

from fastapi import Depends, FastAPI, Form
from fastapi.responses import HTMLResponse, JSONResponse
from velkora.service import Settings
from velkora.service.assess import Assessment
from velkora.service.embed import Guard

PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Sign in</title></head>
<body><form id="login" method="post" action="/login">
<label>User name <input name="username"></label>
<label>Password <input name="password" type="password"></label>
<button type="submit">Sign in</button></form>
<script src="/velkora/collector.js" data-velkora-form="login"></script></body></html>
"""


def build(settings: Settings | None = None) -> FastAPI:
    """The app; SETTINGS default to the VELKORA_* environment, read at start-up."""
    guard = Guard(settings)
    app = FastAPI(lifespan=guard.lifespan)
    guard.install(app)
    # The collector and the token endpoint, on the guard's own instance of the service.
    app.mount("/velkora", guard.app)

    @app.get("/", response_class=HTMLResponse)
    async def page() -> str:
        return PAGE

    @app.post("/login", response_model=None)
    async def login(username: Annotated[str, Form()], password: Annotated[str, Form()],
                    assessment: Annotated[Assessment, Depends(guard)]) -> dict[str, Any] | JSONResponse:
        if assessment.verdict.verdict == "bot":
            return JSONResponse({"signed_in": False, "reason": "automated"}, status_code=403)
        # ... check USERNAME and PASSWORD as the app always did ...
        return {"signed_in": True, "user": username, "verdict": assessment.verdict.verdict}

    return app
